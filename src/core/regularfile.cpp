#include "regularfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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
