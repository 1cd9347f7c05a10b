#ifndef PACKAGEITEM_H
#define PACKAGEITEM_H

#include <QMap>
#include <QMetaType>
#include <QString>

// One item of a package: the entry it becomes and where its bytes come from,
// either a plain file or an entry of a combined package.
struct PackageItem
{
    // The entry's name at the package root, which the manifest names too.
    QString name;
    // A plain item: the file to pack, as the user gave it.
    QString filePath;

    // An item of a combined package: the package and the entry as screened.
    // The writer copies only an entry that still matches these figures.
    QString packagePath;
    qint64 entryIndex = -1;
    quint16 method = 0;
    quint32 crc = 0;
    quint64 size = 0;
    quint64 compressedSize = 0;
    quint32 permissions = 0644;
    qint64 modified = 0; // seconds since the epoch

    // The request row the item comes from, for pointing at it; -1 for none.
    int row = -1;

    bool isPackageEntry() const { return entryIndex >= 0; }
};

// Type key to item. Iterating it gives the package's order: ascending keys.
using PackageItems = QMap<QString, PackageItem>;

// A plain item for a file path: stored under the path's last component.
PackageItem plainItem(const QString &filePath);

Q_DECLARE_METATYPE(PackageItem)
Q_DECLARE_METATYPE(PackageItems)

#endif // PACKAGEITEM_H
