#include "inputfile.h"

#include "stamp_posix.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

InputFile::~InputFile()
{
    if (handle >= 0)
        ::close(int(handle));
}

std::unique_ptr<InputFile> InputFile::open(const QString &path, FileError *error)
{
    const QByteArray name = QFile::encodeName(path);
    // Anything but a regular file is not even opened: opening a device may
    // act on it. The check is made again on what was opened, in case the path
    // changed in between; O_NONBLOCK keeps a FIFO put there from waiting.
    struct stat before
    {
    };
    if (::stat(name.constData(), &before) != 0) {
        *error = FileError::last();
        return nullptr;
    }
    if (!S_ISREG(before.st_mode)) {
        *error = FileError::of(FileError::NotRegularFile);
        return nullptr;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = FileError::last();
        return nullptr;
    }
    std::unique_ptr<InputFile> file(new InputFile);
    file->handle = fd;
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = FileError::of(FileError::NotRegularFile);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file->opened = stampOf(info);
    *error = FileError();
    return file;
}

bool InputFile::readAt(quint64 offset, char *data, quint64 length) const
{
    if (offset > size() || length > size() - offset)
        return false;
    while (length > 0) {
        const ssize_t got
            = ::pread(int(handle), data, size_t(qMin<quint64>(length, 1u << 30)), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // A file cut short after it was opened reads as nothing.
            error = got < 0 ? FileError::last() : FileError();
            return false;
        }
        data += got;
        offset += quint64(got);
        length -= quint64(got);
    }
    return true;
}

bool InputFile::unchanged() const
{
    struct stat now
    {
    };
    char beyond;
    // Every write, and every setting of the times, moves the change time.
    return ::fstat(int(handle), &now) == 0 && stampOf(now) == opened
        && ::pread(int(handle), &beyond, 1, off_t(opened.size)) == 0;
}

FileError lookAt(const QString &path)
{
    struct stat info
    {
    };
    if (path.isEmpty())
        return FileError::of(FileError::NotFound);
    if (::stat(QFile::encodeName(path).constData(), &info) == 0)
        return FileError();
    return FileError::last();
}

FileIdentity FileIdentity::at(const QString &path)
{
    struct stat info
    {
    };
    FileIdentity identity;
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0) {
        identity.exists = true;
        identity.stamp = stampOf(info);
    }
    return identity;
}
