#include "filechooser.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

const QString itemFileFilters = QStringLiteral("升级包 (*.zip *.kpz);;所有文件 (*)");

namespace {

// Shared by every chooser of the program, and kept between launches.
const QString lastFolderKey = QStringLiteral("choosers/lastFolder");

QString lastChosenFolder()
{
    return QSettings().value(lastFolderKey).toString();
}

QString folderOf(const QString &path, bool pathIsFolder)
{
    // Absolute: a later launch may start in another working directory.
    return pathIsFolder ? QFileInfo(path).absoluteFilePath() : QFileInfo(path).absolutePath();
}

} // namespace

QString chooserStartFolder(const QString &fieldText, bool fieldIsFolder)
{
    if (!fieldText.isEmpty()) {
        const QString folder = folderOf(fieldText, fieldIsFolder);
        if (QFileInfo(folder).isDir())
            return folder;
    }
    const QString last = lastChosenFolder();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    return QDir::homePath();
}

void rememberChosenPath(const QString &path, bool pathIsFolder)
{
    if (!path.isEmpty())
        QSettings().setValue(lastFolderKey, folderOf(path, pathIsFolder));
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
