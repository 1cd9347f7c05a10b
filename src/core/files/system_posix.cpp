#include "system.h"

#include <QFile>

#include <csignal>
#include <mutex>
#include <sys/resource.h>
#include <sys/vfs.h>

bool localTimeOf(qint64 unixSeconds, struct tm *local)
{
    const time_t seconds = time_t(unixSeconds);
    return ::localtime_r(&seconds, local) != nullptr;
}

void failWritesPastFileSizeLimit()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

FileSizeLimit fileSizeLimitFor(const QString &folder)
{
    constexpr long fatMagic = 0x4d44; // MSDOS_SUPER_MAGIC: FAT12/16/32 (vfat)
    FileSizeLimit limit;
    struct rlimit process;
    if (::getrlimit(RLIMIT_FSIZE, &process) == 0 && process.rlim_cur != RLIM_INFINITY) {
        limit.source = FileSizeLimit::Process;
        limit.bytes = quint64(process.rlim_cur);
    }
    struct statfs system;
    const quint64 fatLargest = 0xffffffffull;
    if (::statfs(QFile::encodeName(folder).constData(), &system) == 0 && system.f_type == fatMagic
        && (limit.source == FileSizeLimit::Unknown || fatLargest < limit.bytes)) {
        limit.source = FileSizeLimit::FileSystem;
        limit.bytes = fatLargest;
    }
    return limit;
}
