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
    QuaZip zip(packagePath);
    if (!zip.open(QuaZip::mdUnzip) || !isSafeArchive(zip))
        return false;
    const bool extracted = !JlCompress::extractDir(zip, folder).isEmpty();
    zip.close();
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
