#include "packagerequest.h"

#include "inputfile.h"

#include "packagemanifest.h"
#include "portablename.h"
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

PackageFailure rowFailure(PackageFailure::Kind kind, int row, const QString &subject,
                          const QString &path = QString())
{
    PackageFailure f = failure(kind, subject, path);
    f.row = row;
    return f;
}

// Whether an item's path can be looked at: a link whose target is gone is
// missing as far as packing goes, so links are followed; a folder that may
// not be searched hides its files, which is not the same as their absence.
PackageFailure::Kind itemAccess(const QString &path)
{
    switch (lookAt(path).kind) {
    case FileError::None:
        return PackageFailure::None;
    case FileError::NoPermission:
        return PackageFailure::ItemUnreadable;
    default:
        return PackageFailure::ItemMissing;
    }
}

} // namespace

PackageFailure checkPackageName(const QString &typed)
{
    const QString name = packageBaseName(typed);
    PackageFailure f;
    f.field = PackageFailure::PackageNameField;
    f.subject = name;
    if (name.isEmpty()) {
        f.kind = PackageFailure::EmptyPackageName;
        return f;
    }
    NameProblem problem = typedNameProblem(name);
    const int archiveBytes = (name + QStringLiteral(".zip")).toUtf8().size();
    if (!problem.found() && archiveBytes > fileNameByteLimit)
        problem.kind = NameProblem::TooLong;
    if (problem.found()) {
        f.kind = PackageFailure::PackageNameInvalid;
        f.nameProblem = problem.kind;
        f.detail = problem.kind == NameProblem::TooLong ? QString::number(archiveBytes)
                                                        : problem.character;
    }
    return f;
}

PackageFailure checkPackageRequest(const PackageRequest &request, CheckedRequest *checked)
{
    *checked = CheckedRequest();
    const QString folder = request.outputFolder;
    // An empty text would name the working directory, which always exists.
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        PackageFailure f = failure(PackageFailure::NoOutputFolder, QString(), folder);
        f.field = PackageFailure::OutputFolderField;
        return f;
    }
    const PackageFailure badName = checkPackageName(request.packageName);
    if (badName.failed())
        return badName;

    const QString archive = archivePathFor(folder, request.packageName);
    if (QFileInfo(archive).isDir()) {
        PackageFailure f = failure(PackageFailure::ArchiveIsFolder, QString(), archive);
        f.field = PackageFailure::PackageNameField;
        return f;
    }
    bool combinedSeen = false;
    for (int index = 0; index < request.rows.size(); ++index) {
        const RequestRow &row = request.rows.at(index);
        const bool combined = row.typeIndex == combinedPackageTypeIndex;
        const QString key = typeKeyForIndex(row.typeIndex);
        const QString label = typeLabelForIndex(row.typeIndex);
        // One run merges one combined package, so a second one repeats a type.
        if (combined ? combinedSeen : checked->items.contains(key))
            return rowFailure(PackageFailure::TypeRepeated, index, label);
        const PackageFailure::Kind access = itemAccess(row.path);
        if (access != PackageFailure::None)
            return rowFailure(access, index, label, row.path);
        if (isSamePath(row.path, archive))
            return rowFailure(PackageFailure::ItemIsArchive, index, label, row.path);
        if (combined) {
            combinedSeen = true;
            checked->combinedPackagePath = row.path;
            checked->combinedPackageRow = index;
        } else {
            PackageItem item = plainItem(row.path);
            item.row = index;
            checked->items.insert(key, item);
        }
    }
    return checkFileNames(checked->items);
}

PackageFailure checkFileNames(const PackageItems &items)
{
    // Entries are stored under their bare names, which must work on Windows
    // and USB sticks, and two that are one file there could not be told apart.
    QSet<QString> seen {windowsFoldedName(manifestFileName)};
    for (const PackageItem &item : items) {
        if (item.name.isEmpty())
            continue;
        const QString path = item.isPackageEntry() ? item.packagePath : item.filePath;
        const NameProblem problem = portableNameProblem(item.name);
        if (problem.found()) {
            PackageFailure f
                = rowFailure(PackageFailure::FileNameUnportable, item.row, item.name, path);
            f.nameProblem = problem.kind;
            f.specifics = problem.character;
            return f;
        }
        const QString folded = windowsFoldedName(item.name);
        if (seen.contains(folded))
            return rowFailure(PackageFailure::FileNameRepeated, item.row, item.name, path);
        seen.insert(folded);
    }
    return PackageFailure();
}

QString packageBaseName(const QString &typed)
{
    // The form shows ".zip" beside the field; typing it as well means no more.
    if (typed.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive))
        return typed.chopped(4);
    return typed;
}

QString archivePathFor(const QString &outputFolder, const QString &packageName)
{
    return outputFolder + QLatin1Char('/') + packageBaseName(packageName) + QStringLiteral(".zip");
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
