#include "bytesource.h"

#include "regularfile.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool MemoryByteSource::readAt(quint64 offset, char *data, quint64 length) const
{
    if (offset > size() || length > size() - offset)
        return false;
    std::memcpy(data, bytes.constData() + offset, size_t(length));
    return true;
}

FileByteSource::~FileByteSource()
{
    if (fd >= 0)
        ::close(fd);
}

std::shared_ptr<FileByteSource> FileByteSource::open(const QString &path,
                                                     PackageFailure::Reason *reason, int *error)
{
    std::shared_ptr<FileByteSource> source(new FileByteSource);
    errno = 0;
    source->fd = openRegularFile(path, &source->opened, reason);
    *error = errno;
    return source->fd >= 0 ? source : nullptr;
}

bool FileByteSource::readAt(quint64 offset, char *data, quint64 length) const
{
    if (offset > size() || length > size() - offset)
        return false;
    while (length > 0) {
        const ssize_t got
            = ::pread(fd, data, size_t(qMin<quint64>(length, 1u << 30)), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // A file cut short after it was opened reads as nothing.
            lastError = got < 0 ? errno : 0;
            return false;
        }
        data += got;
        offset += quint64(got);
        length -= quint64(got);
    }
    return true;
}

bool FileByteSource::unchanged() const
{
    struct stat now
    {
    };
    // Every write, and every change of the times, sets the change time.
    return ::fstat(fd, &now) == 0 && now.st_size == opened.st_size
        && now.st_mtim.tv_sec == opened.st_mtim.tv_sec
        && now.st_mtim.tv_nsec == opened.st_mtim.tv_nsec
        && now.st_ctim.tv_sec == opened.st_ctim.tv_sec
        && now.st_ctim.tv_nsec == opened.st_ctim.tv_nsec;
}
