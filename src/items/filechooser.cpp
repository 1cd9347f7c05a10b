#include "filechooser.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

const QString itemFileFilters = QStringLiteral("升级包 (*.zip *.kpz);;所有文件 (*)");

namespace {

QString &lastChosenFolder()
{
    static QString folder;
    return folder;
}

QString folderOf(const QString &path, bool pathIsFolder)
{
    return pathIsFolder ? path : QFileInfo(path).absolutePath();
}

} // namespace

QString chooserStartFolder(const QString &fieldText, bool fieldIsFolder)
{
    if (!fieldText.isEmpty()) {
        const QString folder = folderOf(fieldText, fieldIsFolder);
        if (QFileInfo(folder).isDir())
            return folder;
    }
    if (QFileInfo(lastChosenFolder()).isDir())
        return lastChosenFolder();
    return QDir::homePath();
}

void rememberChosenPath(const QString &path, bool pathIsFolder)
{
    if (!path.isEmpty())
        lastChosenFolder() = folderOf(path, pathIsFolder);
}

QString droppedLocalFile(const QMimeData *data)
{
    if (!data || !data->hasUrls())
        return QString();
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return QString();
}
