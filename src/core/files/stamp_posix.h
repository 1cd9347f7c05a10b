#ifndef STAMP_POSIX_H
#define STAMP_POSIX_H

#include "inputfile.h"

#include <sys/stat.h>

// A file's stamp from what stat() said of it.
inline FileStamp stampOf(const struct stat &info)
{
    const auto nanoseconds
        = [](const struct timespec &t) { return qint64(t.tv_sec) * 1000000000 + t.tv_nsec; };
    FileStamp s;
    s.device = quint64(info.st_dev);
    s.index = quint64(info.st_ino);
    s.size = quint64(info.st_size);
    s.modifiedNs = nanoseconds(info.st_mtim);
    s.changedNs = nanoseconds(info.st_ctim);
    s.permissions = info.st_mode & 0777;
    return s;
}

#endif // STAMP_POSIX_H
