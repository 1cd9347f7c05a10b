#ifndef PACKAGECHECKS_H
#define PACKAGECHECKS_H

#include <QMap>
#include <QString>

// Where a run writes its archive: folder + "/" + name + ".zip", joined as typed.
QString archivePathFor(const QString &outputFolder, const QString &packageName);

// Where a run writes its manifest: folder + "/upgrade_package_config.json".
QString manifestPathFor(const QString &outputFolder);

// The absolute, cleaned form of path with links resolved as far as the path
// exists; the part that does not exist yet is appended as it stands.
QString resolvedPath(const QString &path);

// True when both paths name the same place, compared as the file system does.
bool isSamePath(const QString &a, const QString &b);

// True when path is folder itself or lies anywhere inside it.
bool isInsideFolder(const QString &path, const QString &folder);

// The first item file name that the package could not hold: one that a
// previous item already uses (ignoring case) or the manifest's own name.
// Returns the name as that item spells it, or an empty string when none
// clashes. Items without a file name are left to fail when packed.
QString findFileNameClash(const QMap<QString, QString> &items);

#endif // PACKAGECHECKS_H
