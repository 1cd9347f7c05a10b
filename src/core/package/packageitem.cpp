#include "packageitem.h"

#include <QFileInfo>

PackageItem plainItem(const QString &filePath)
{
    PackageItem item;
    item.name = QFileInfo(filePath).fileName();
    item.filePath = filePath;
    return item;
}
