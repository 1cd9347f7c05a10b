#include "packagerequest.h"

#include "packagemanifest.h"
#include "upgradeitemtypes.h"

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

PackageFailure failure(PackageFailure::Kind kind, const QString &subject = QString(),
                       const QString &path = QString())
{
    PackageFailure f;
    f.kind = kind;
    f.subject = subject;
    f.path = path;
    return f;
}

// A link whose target is gone still stands in the folder, and a row naming it
// is missing as far as packing goes; exists() follows links, so it says so.
bool itemExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo::exists(path);
}

} // namespace

PackageFailure checkPackageRequest(const PackageRequest &request, CheckedRequest *checked)
{
    *checked = CheckedRequest();
    const QString folder = request.outputFolder;
    // An empty text would name the working directory, which always exists.
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return failure(PackageFailure::NoOutputFolder, QString(), folder);
    if (request.packageName.isEmpty())
        return failure(PackageFailure::EmptyPackageName);

    const QString archive = archivePathFor(folder, request.packageName);
    bool combinedSeen = false;
    for (const RequestRow &row : request.rows) {
        const bool combined = row.typeIndex == combinedPackageTypeIndex;
        const QString key = typeKeyForIndex(row.typeIndex);
        const QString label = typeLabelForIndex(row.typeIndex);
        // One run merges one combined package, so a second one repeats a type.
        if (combined ? combinedSeen : checked->items.contains(key))
            return failure(PackageFailure::TypeRepeated, label);
        if (!itemExists(row.path))
            return failure(PackageFailure::ItemMissing, label, row.path);
        if (isSamePath(row.path, archive))
            return failure(PackageFailure::ItemIsArchive, label, row.path);
        if (combined) {
            combinedSeen = true;
            checked->combinedPackagePath = row.path;
        } else {
            checked->items.insert(key, plainItem(row.path));
        }
    }
    return checkFileNames(checked->items);
}

PackageFailure checkFileNames(const PackageItems &items)
{
    // Entries are stored under their bare names; two of one name (also in
    // another case, which Windows and many readers fold) could not be told apart.
    QSet<QString> seen {manifestFileName.toCaseFolded()};
    for (const PackageItem &item : items) {
        if (item.name.isEmpty())
            continue;
        const QString folded = item.name.normalized(QString::NormalizationForm_C).toCaseFolded();
        if (seen.contains(folded))
            return failure(PackageFailure::FileNameRepeated, item.name,
                           item.isPackageEntry() ? item.packagePath : item.filePath);
        seen.insert(folded);
    }
    return PackageFailure();
}

QString archivePathFor(const QString &outputFolder, const QString &packageName)
{
    return outputFolder + QLatin1Char('/') + packageName + QStringLiteral(".zip");
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
