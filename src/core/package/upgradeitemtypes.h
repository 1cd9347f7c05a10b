#ifndef UPGRADEITEMTYPES_H
#define UPGRADEITEMTYPES_H

#include <QString>
#include <QStringList>

// Type keys of the upgrade item types, in the order of the type chooser's
// entries 0 to 6. Entry 7 of the chooser, the combined package, has no key:
// its items bring their own keys from the package's manifest.
extern const QStringList upgradeTypeKeys;

// Chooser index of the combined package ("组合包").
constexpr int combinedPackageTypeIndex = 7;

// The type key for a chooser index, or an empty string for the combined
// package, for -1 (no current entry) and for any other index out of range.
QString typeKeyForIndex(int index);

// The label the type chooser shows for an index 0 to 7, or an empty string.
QString typeLabelForIndex(int index);

// The label of a type key; a key outside the table is its own label.
QString typeLabelForKey(const QString &key);

#endif // UPGRADEITEMTYPES_H
