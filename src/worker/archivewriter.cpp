#include "archivewriter.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <JlCompress.h>
#include <quazip.h>

namespace {

qint64 totalSize(const QStringList &files)
{
    qint64 total = 0;
    for (const QString &file : files)
        total += QFileInfo(file).size();
    return total;
}

// The path to read a source's bytes from: the link's target for a symbolic
// link, so that the entry holds the file's content rather than the link text.
QString contentPath(const QFileInfo &source)
{
    return source.isSymLink() ? source.canonicalFilePath() : source.filePath();
}

bool addSources(QuaZip &zip, const QStringList &sourceFiles)
{
    for (const QString &file : sourceFiles) {
        const QFileInfo source(file);
        if (!source.isFile())
            return false;
        if (!JlCompress::compressFile(&zip, contentPath(source), source.fileName()))
            return false;
    }
    return true;
}

} // namespace

bool writeArchive(const QString &archivePath, const QStringList &sourceFiles)
{
    if (!QDir().mkpath(QFileInfo(archivePath).absolutePath()))
        return false;

    QSaveFile archive(archivePath);
    QuaZip zip(&archive);
    zip.setZip64Enabled(totalSize(sourceFiles) > zip64Threshold);
    if (!zip.open(QuaZip::mdCreate))
        return false;

    const bool added = addSources(zip, sourceFiles);
    // Closing the zip commits the QSaveFile; a failed run must be discarded
    // first so that the temporary file is removed instead of renamed.
    if (!added)
        archive.cancelWriting();
    zip.close();
    return added && zip.getZipError() == ZIP_OK;
}
