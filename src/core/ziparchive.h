#ifndef ZIPARCHIVE_H
#define ZIPARCHIVE_H

#include "packagefailure.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <zip.h>

#include <sys/stat.h>

// Opens path for reading only if it is a regular file once links are
// followed. A FIFO, a device or a folder is refused without being waited on.
// Returns the descriptor (and its stat in *info), or -1 with *reason set.
int openRegularFile(const QString &path, struct stat *info, PackageFailure::Reason *reason);

// One entry of a ZIP archive as it was read from the central directory.
struct ZipEntry
{
    qint64 index = -1;
    QString name; // decoded: see ZipArchive::entries()
    zip_stat_t stat {};
    quint8 system = 0; // "version made by" host system
    quint32 attributes = 0; // external attributes

    bool isFolder() const;
    bool isLink() const;
    bool isEncrypted() const;
    // Unix permission bits when the writer recorded them, else 0644.
    quint32 permissions() const;
};

// A ZIP archive read from a screened file: see open().
class ZipArchive
{
public:
    ZipArchive() = default;
    ~ZipArchive();
    ZipArchive(const ZipArchive &) = delete;
    ZipArchive &operator=(const ZipArchive &) = delete;

    // Opens a regular file and reads its central directory. Failures are
    // PackageRefused.
    PackageFailure open(const QString &path);
    zip_t *handle() const { return archive; }
    QString path() const { return filePath; }

    // Every entry in central directory order. A name flagged UTF-8, or valid
    // UTF-8 without the flag, is read as UTF-8; any other as GB18030.
    QList<ZipEntry> entries() const;

private:
    zip_t *archive = nullptr;
    QString filePath;
};

// True when an entry of this name would lead outside the folder it is
// extracted into: absolute ("/x", "\x", "C:x") or with a ".." component.
bool isUnsafeEntryName(const QString &name);

// Names compared as a reader on any system would: NFC, and case folded.
QString foldedEntryName(const QString &name);

#endif // ZIPARCHIVE_H
