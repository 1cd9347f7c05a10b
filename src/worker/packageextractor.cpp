#include "packageextractor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <JlCompress.h>
#include <quazip.h>
#include <quazipfileinfo.h>

const QString extractionFolder = QStringLiteral("./decompression");

namespace {

bool isLinkEntry(const QuaZipFileInfo64 &info)
{
    constexpr quint32 fileTypeMask = 0170000;
    constexpr quint32 symbolicLinkType = 0120000;
    return info.isSymbolicLink() || ((info.externalAttr >> 16) & fileTypeMask) == symbolicLinkType;
}

// Every entry must be a plain file or folder that stays inside the folder.
bool isSafeArchive(const QuaZip &zip)
{
    const QList<QuaZipFileInfo64> entries = zip.getFileInfoList64();
    if (entries.isEmpty())
        return false;
    for (const QuaZipFileInfo64 &entry : entries) {
        if (isUnsafeEntryName(entry.name) || isLinkEntry(entry))
            return false;
    }
    return true;
}

bool extractScreened(const QString &packagePath, const QString &folder)
{
    // One open file serves both the screening and the extraction, so the
    // archive that is extracted is the one that was screened.
    QFile package(packagePath);
    if (!package.open(QIODevice::ReadOnly))
        return false;
    QuaZip zip(&package);
    zip.setAutoClose(false);
    if (!zip.open(QuaZip::mdUnzip))
        return false;
    const bool safe = isSafeArchive(zip);
    zip.close();
    if (!safe)
        return false;
    // extractDir opens the archive itself, on the same file.
    const bool extracted = !JlCompress::extractDir(zip, folder).isEmpty();
    return extracted && zip.getZipError() == UNZ_OK;
}

} // namespace

bool isUnsafeEntryName(const QString &name)
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))
        || drive.match(name).hasMatch())
        return true;
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    return name.split(separators).contains(QStringLiteral(".."));
}

bool removeWorkingFolder(const QString &folder)
{
    const QFileInfo info(folder);
    if (info.isSymLink())
        return QFile::remove(folder);
    if (!info.exists())
        return true;
    if (!info.isDir())
        return false; // a file of that name is not ours to remove
    return QDir(folder).removeRecursively();
}

bool extractPackage(const QString &packagePath, const QString &folder)
{
    if (!removeWorkingFolder(folder))
        return false;
    if (extractScreened(packagePath, folder))
        return true;
    removeWorkingFolder(folder);
    return false;
}
