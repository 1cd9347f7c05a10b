#ifndef COMBINEDPACKAGE_H
#define COMBINEDPACKAGE_H

#include "packagefailure.h"
#include "packageitem.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// A combined package that passed screening: its manifest's items, each one an
// entry of the package to copy, keyed as its manifest keys them.
struct CombinedPackage
{
    QString path;
    PackageItems items;
    // Entries the manifest does not name (a readme, folder entries, a
    // signature file): taken with the package but left out of the new one.
    QStringList leftOutEntries;
};

// Everything screening found wrong with a package, in the order it looked;
// the package is taken when there is nothing. The items are those whose
// manifest members passed, whatever else was found.
struct PackageScreening
{
    CombinedPackage package;
    QList<PackageFailure> problems;
};

// Screens a combined package before anything of it is used:
// - a regular file (after links), never opened otherwise, that is a ZIP
//   archive;
// - no entry leads outside a folder, is a link or is encrypted, and no two
//   entries share a name (also ignoring case and Unicode normalisation);
// - exactly one root entry upgrade_package_config.json, at most 1 MiB, that
//   holds one JSON object;
// - each member an object whose "name" is a bare file name of a plain file
//   entry, and no key one of the type keys in another case;
// - no entry besides the manifest and the entries it names.
// Reads the manifest but no item's data.
PackageScreening screenCombinedPackage(const QString &path);

// Adds a screened package's items to the request's items. A type already
// there, or an entry name already used, fails.
PackageFailure mergeCombinedPackage(const CombinedPackage &package, PackageItems *items);

// Reads every file entry of a package to its end, which checks its CRC-32 and
// size. Returns one problem per entry that fails (or why it cannot be read).
QList<PackageFailure> verifyPackageEntries(const QString &path);

Q_DECLARE_METATYPE(CombinedPackage)

#endif // COMBINEDPACKAGE_H
