#ifndef COMBINEDPACKAGE_H
#define COMBINEDPACKAGE_H

#include "bytesource.h"
#include "packagefailure.h"
#include "packageitem.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <memory>

class RunControl;

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

// The verdict on a package: every problem found, in the order it looked
// (the package is taken when there is none), and notes, which say something
// about a package that is taken all the same. The items are those whose
// manifest members passed, whatever else was found.
struct PackageScreening
{
    CombinedPackage package;
    QList<PackageFailure> problems;
    QList<PackageFailure> notes;

    bool taken() const { return problems.isEmpty(); }
};

// How far a verdict reads: the manifest only (a run then checks each item
// as it copies it, with the same reading), or every item as well.
enum class EntryReading { ManifestOnly, EveryItem };

// The one verdict on a combined package, for the window, `build` and
// `inspect` alike:
// - a regular file (after links), never opened otherwise;
// - a ZIP container that no two readers could read differently (see
//   readZipContainer());
// - no entry leads outside a folder, is a link or is encrypted, and no two
//   names are one file on Windows (case, Unicode normalisation, trailing
//   dots and blanks); a leading "./" is no folder;
// - one root entry upgrade_package_config.json, at most 1 MiB, readable and
//   intact, holding one JSON object;
// - each member's key free of control characters and no near-miss of a type
//   key (case, width, blanks), and its value an object whose "name" is a bare
//   file name that works on Windows and USB sticks and names a plain file
//   entry stored with a method this build reads;
// - with EveryItem, each item's data exactly what its entry declares.
// Entries the manifest does not name are left out, with a note each.
// control, when given, may cancel; the verdict then has a cancelled run as
// its only problem.
PackageScreening judgePackage(const std::shared_ptr<const ByteSource> &source, const QString &path,
                              EntryReading reading, RunControl *control = nullptr);

// The same for a file: what a run does before it writes (ManifestOnly).
PackageScreening screenCombinedPackage(const QString &path, RunControl *control = nullptr);
// ... and what `inspect` does (EveryItem).
PackageScreening inspectPackage(const QString &path, RunControl *control = nullptr);

// An item of a combined package that a plain item of the same type takes
// the place of in the new package.
struct Replacement
{
    QString typeKey;
    QString replacedName; // the package's entry
    QString newName; // the plain item's entry
    int row = -1; // the plain item's request row
};

// The types that the request's plain items and the package both hold, in
// key order: what merging would replace.
QList<Replacement> replacementsIn(const CombinedPackage &package, const PackageItems &items);

// Adds a screened package's items to the request's items. A type already
// there fails, unless the user agreed to its replacement (it is in agreed):
// the request's item then stays and the package's is left out. An entry name
// the new package would hold twice fails; a replaced entry holds none.
PackageFailure mergeCombinedPackage(const CombinedPackage &package, PackageItems *items,
                                    const QList<Replacement> &agreed = {});

// "已替换：HMI hmi_v1.zip → hmi_v2.zip", as the window and the command line say it.
QString replacementText(const Replacement &replacement);

Q_DECLARE_METATYPE(CombinedPackage)

#endif // COMBINEDPACKAGE_H
