#include "packagechecks.h"

#include "packagemanifest.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {

// Windows and macOS file systems ignore case by default; Linux ones do not.
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
constexpr Qt::CaseSensitivity fileSystemCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity fileSystemCase = Qt::CaseSensitive;
#endif

} // namespace

QString archivePathFor(const QString &outputFolder, const QString &packageName)
{
    return outputFolder + QLatin1Char('/') + packageName + QStringLiteral(".zip");
}

QString manifestPathFor(const QString &outputFolder)
{
    return outputFolder + QLatin1Char('/') + manifestFileName;
}

QString resolvedPath(const QString &path)
{
    QString existing = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    QString missingTail;
    // Walk up to the deepest part of the path that exists and resolve that.
    while (!QFileInfo::exists(existing)) {
        const int cut = existing.lastIndexOf(QLatin1Char('/'));
        if (cut <= 0)
            return QDir::cleanPath(existing + missingTail);
        missingTail.prepend(existing.mid(cut));
        existing.truncate(cut);
    }
    return QDir::cleanPath(QFileInfo(existing).canonicalFilePath() + missingTail);
}

bool isSamePath(const QString &a, const QString &b)
{
    return resolvedPath(a).compare(resolvedPath(b), fileSystemCase) == 0;
}

bool isInsideFolder(const QString &path, const QString &folder)
{
    const QString resolvedFolder = resolvedPath(folder);
    const QString resolved = resolvedPath(path);
    if (resolved.compare(resolvedFolder, fileSystemCase) == 0)
        return true;
    const QString prefix = resolvedFolder.endsWith(QLatin1Char('/'))
        ? resolvedFolder
        : resolvedFolder + QLatin1Char('/');
    return resolved.startsWith(prefix, fileSystemCase);
}

QString findFileNameClash(const QMap<QString, QString> &items)
{
    QSet<QString> seen {manifestFileName.toCaseFolded()};
    for (const QString &path : items) {
        const QString name = QFileInfo(path).fileName();
        if (name.isEmpty())
            continue;
        const QString folded = name.toCaseFolded();
        if (seen.contains(folded))
            return name;
        seen.insert(folded);
    }
    return QString();
}
