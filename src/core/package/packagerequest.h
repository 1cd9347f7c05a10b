#ifndef PACKAGEREQUEST_H
#define PACKAGEREQUEST_H

#include "packagefailure.h"
#include "packageitem.h"

#include <QList>
#include <QString>

// One item row as the user filled it in: a type chooser index (0 to 7) and a
// path, taken as typed.
struct RequestRow
{
    int typeIndex = 0;
    QString path;
};

// What the user asks for: the output folder, the package name without
// ".zip", and the item rows from the top.
struct PackageRequest
{
    QString outputFolder;
    QString packageName;
    QList<RequestRow> rows;
    // Plain rows replace the items of the same types of the combined package
    // (the command line's --replace; the window asks for each instead).
    bool replaceItemsOfCombinedPackage = false;
};

// A request that passed its checks: the plain rows' items, and the combined
// package to merge (empty when there is none).
struct CheckedRequest
{
    PackageItems items;
    QString combinedPackagePath;
    int combinedPackageRow = -1;
};

// Checks a request in the order the user reads the form: the output folder,
// the package name, every row from the top (a repeated type before a missing
// or unreadable file, then a row that is the archive itself), then the items'
// file names. Stops at the first failing check, which names the field or row
// at fault. Touches no file beyond asking whether paths exist.
PackageFailure checkPackageRequest(const PackageRequest &request, CheckedRequest *checked);

// The first item file name that the package could not hold: one that an
// earlier item already uses (ignoring case) or the manifest's own name.
PackageFailure checkFileNames(const PackageItems &items);

// A package name must work as a file name on Linux, Windows and FAT/exFAT:
// no folder separators, no "." or "..", none of < > : " | ? * and no control
// character, no Windows device name, no blank at either end or dot at the
// end, and at most 255 bytes with ".zip". A ".zip" the user typed is dropped.
PackageFailure checkPackageName(const QString &typed);

// The package name without a ".zip" (in any case) that the user typed.
QString packageBaseName(const QString &typed);

// Where a run writes its archive: folder + "/" + name + ".zip", joined as
// typed; a typed ".zip" is not doubled.
QString archivePathFor(const QString &outputFolder, const QString &packageName);

// The absolute, cleaned form of path with links resolved as far as the path
// exists; the part that does not exist yet is appended as it stands.
QString resolvedPath(const QString &path);

// True when both paths name the same place, compared as the file system does.
bool isSamePath(const QString &a, const QString &b);

#endif // PACKAGEREQUEST_H
