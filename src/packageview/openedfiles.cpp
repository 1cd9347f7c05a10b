#include "openedfiles.h"

#include "displaypath.h"

#include <QFileInfo>

namespace {

// Files named in the message; a longer list is counted only.
constexpr int namesShown = 10;

bool hasPackageSuffix(const QFileInfo &info)
{
    const QString suffix = info.suffix();
    return suffix.compare(QLatin1String("zip"), Qt::CaseInsensitive) == 0
        || suffix.compare(QLatin1String("kpz"), Qt::CaseInsensitive) == 0;
}

// Why a file is no package to open, or an empty string.
QString whyNotAPackage(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        const QString hint = blankEndsHint(path, WantedPath::AnyFile);
        return hint.isEmpty() ? QStringLiteral("找不到") : QStringLiteral("找不到；") + hint;
    }
    if (info.isDir())
        return QStringLiteral("是文件夹，不是升级包");
    if (!hasPackageSuffix(info))
        return QStringLiteral("不是升级包（.zip 或 .kpz 文件）");
    if (!info.isFile())
        return QStringLiteral("不是普通文件");
    return QString();
}

} // namespace

OpenedFiles sortOpenedFiles(const QStringList &paths)
{
    OpenedFiles sorted;
    for (const QString &path : paths) {
        QString why = path.isEmpty() ? QStringLiteral("空的路径") : whyNotAPackage(path);
        if (why.isEmpty() && !sorted.package.isEmpty())
            why = QStringLiteral("一次只查看一个升级包");
        if (why.isEmpty())
            sorted.package = path;
        else
            sorted.notOpened.append((path.isEmpty() ? QStringLiteral("「」") : quotedPath(path))
                                    + QStringLiteral("：") + why);
    }
    return sorted;
}

QString notOpenedDetails(const QStringList &notOpened)
{
    QStringList lines = notOpened.mid(0, namesShown);
    if (notOpened.size() > namesShown)
        lines.append(QStringLiteral("……（共%1个）").arg(notOpened.size()));
    return lines.join(QLatin1Char('\n'));
}
