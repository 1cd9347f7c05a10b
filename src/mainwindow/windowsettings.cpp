#include "windowsettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

const QString outputFolderKey = QStringLiteral("window/outputFolder");
const QString geometryKey = QStringLiteral("window/geometry");

} // namespace

QString rememberedOutputFolder()
{
    const QString folder = QSettings().value(outputFolderKey).toString();
    // A folder removed or unmounted since would only be refused at the start.
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

void rememberOutputFolder(const QString &folder)
{
    // An empty text would name the working directory.
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return;
    QSettings().setValue(outputFolderKey, QDir::cleanPath(QFileInfo(folder).absoluteFilePath()));
}

QByteArray rememberedGeometry()
{
    return QSettings().value(geometryKey).toByteArray();
}

void rememberGeometry(const QByteArray &geometry)
{
    QSettings().setValue(geometryKey, geometry);
}
