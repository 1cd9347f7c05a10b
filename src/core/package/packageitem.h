#ifndef PACKAGEITEM_H
#define PACKAGEITEM_H

#include "bytesource.h"
#include "zipcontainer.h"

#include <QMap>
#include <QMetaType>
#include <QString>

#include <memory>

// One item of a package: the entry it becomes and where its bytes come from,
// either a plain file or an entry of a combined package.
struct PackageItem
{
    // The entry's name at the package root, which the manifest names too.
    QString name;
    // A plain item: the file to pack, as the user gave it.
    QString filePath;

    // An item of a combined package: the package's bytes as they were
    // screened, and the entry as screening found it.
    QString packagePath;
    std::shared_ptr<const ByteSource> packageSource;
    ZipEntry entry;

    // The request row the item comes from, for pointing at it; -1 for none.
    int row = -1;

    bool isPackageEntry() const { return packageSource != nullptr; }
};

// Type key to item. Iterating it gives the package's order: ascending keys.
using PackageItems = QMap<QString, PackageItem>;

// A plain item for a file path: stored under the path's last component.
PackageItem plainItem(const QString &filePath);

Q_DECLARE_METATYPE(PackageItem)
Q_DECLARE_METATYPE(PackageItems)

#endif // PACKAGEITEM_H
