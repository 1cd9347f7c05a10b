#include "ziparchive.h"

#include "packagemanifest.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr quint32 fileTypeMask = 0170000;
constexpr quint32 linkType = 0120000;
constexpr quint32 folderType = 0040000;

quint32 unixMode(const ZipEntry &entry)
{
    return entry.system == ZIP_OPSYS_UNIX ? entry.attributes >> 16 : 0;
}

} // namespace

int openRegularFile(const QString &path, struct stat *info, PackageFailure::Reason *reason)
{
    const QByteArray name = QFile::encodeName(path);
    // Anything but a regular file is not even opened: opening a device may
    // act on it. The check is made again on what was opened, in case the path
    // changed in between; O_NONBLOCK keeps a FIFO put there from waiting.
    struct stat before
    {
    };
    if (::stat(name.constData(), &before) != 0) {
        *reason = reasonForReadError(errno);
        return -1;
    }
    if (!S_ISREG(before.st_mode)) {
        *reason = PackageFailure::NotRegularFile;
        return -1;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *reason = reasonForReadError(errno);
        return -1;
    }
    if (::fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
        ::close(fd);
        *reason = PackageFailure::NotRegularFile;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool ZipEntry::isFolder() const
{
    return QString(name).endsWith(QLatin1Char('/'))
        || (unixMode(*this) & fileTypeMask) == folderType
        || (system == ZIP_OPSYS_DOS && (attributes & 0x10));
}

bool ZipEntry::isLink() const
{
    return (unixMode(*this) & fileTypeMask) == linkType;
}

bool ZipEntry::isEncrypted() const
{
    return (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE;
}

quint32 ZipEntry::permissions() const
{
    const quint32 mode = unixMode(*this) & 0777;
    return mode ? mode : 0644;
}

ZipArchive::~ZipArchive()
{
    if (archive)
        zip_discard(archive);
}

PackageFailure ZipArchive::open(const QString &path)
{
    filePath = path;
    struct stat info
    {
    };
    PackageFailure::Reason reason = PackageFailure::NoReason;
    const int fd = openRegularFile(path, &info, &reason);
    if (fd < 0)
        return packageRefusal(reason, path);
    FILE *file = ::fdopen(fd, "rb");
    if (!file) {
        ::close(fd);
        return packageRefusal(PackageFailure::ReadError, path,
                              QString::fromLocal8Bit(strerror(errno)));
    }
    zip_error_t error;
    zip_error_init(&error);
    // The source owns the file from here on and closes it with the archive.
    zip_source_t *source = zip_source_filep_create(file, 0, -1, &error);
    if (!source) {
        ::fclose(file);
    } else {
        // No ZIP_CHECKCONS: it refuses what common writers produce (bsdtar
        // puts sizes into local headers with data descriptors). Entries are
        // located through the central directory, and every copied entry's
        // CRC-32 and size are checked on the way.
        archive = zip_open_from_source(source, ZIP_RDONLY, &error);
        if (!archive)
            zip_source_free(source);
    }
    PackageFailure failure;
    if (!archive) {
        const int system = zip_error_code_system(&error);
        if (zip_error_code_zip(&error) == ZIP_ER_READ && system != 0)
            failure = packageRefusal(PackageFailure::ReadError, path,
                                     QString::fromLocal8Bit(strerror(system)));
        else
            failure = packageRefusal(PackageFailure::NotZip, path,
                                     QString::fromUtf8(zip_error_strerror(&error)));
    }
    zip_error_fini(&error);
    return failure;
}

QList<ZipEntry> ZipArchive::entries() const
{
    QList<ZipEntry> list;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        ZipEntry entry;
        entry.index = i;
        const char *raw = zip_get_name(archive, zip_uint64_t(i), ZIP_FL_ENC_RAW);
        // Valid UTF-8 whether flagged or not; otherwise what Chinese Windows
        // tools write.
        entry.name = decodeForeignText(QByteArray(raw ? raw : ""));
        zip_stat_index(archive, zip_uint64_t(i), ZIP_FL_ENC_RAW, &entry.stat);
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(archive, zip_uint64_t(i), 0, &system, &attributes);
        entry.system = system;
        entry.attributes = attributes;
        list.append(entry);
    }
    return list;
}

bool isUnsafeEntryName(const QString &name)
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))
        || drive.match(name).hasMatch())
        return true;
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    return name.split(separators).contains(QStringLiteral(".."));
}

QString foldedEntryName(const QString &name)
{
    return name.normalized(QString::NormalizationForm_C).toCaseFolded();
}
