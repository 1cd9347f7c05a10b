#include "displaypath.h"

#include "visibletext.h"

#include <QDir>
#include <QFileInfo>

QString displayPath(const QString &path)
{
    return QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}

QString quotedPath(const QString &path)
{
    // A path is the user's text: what it holds that acts on a terminal or
    // cannot be seen is shown escaped.
    return QStringLiteral("「") + escapedText(displayPath(path)) + QStringLiteral("」");
}

QString blankEndsHint(const QString &path, WantedPath wanted)
{
    const QString trimmed = path.trimmed();
    if (trimmed == path || trimmed.isEmpty())
        return QString();
    const QFileInfo info(trimmed);
    if (wanted == WantedPath::Folder ? !info.isDir() : !info.exists())
        return QString();
    const bool atStart = !path.startsWith(trimmed);
    const bool atEnd = !path.endsWith(trimmed);
    const QString where = atStart && atEnd ? QStringLiteral("路径两端有空格")
        : atStart                          ? QStringLiteral("路径开头有空格")
                                           : QStringLiteral("路径末尾有空格");
    return where + QStringLiteral("，去掉空格后的路径存在：") + quotedPath(trimmed);
}
