#include "system.h"

#include "native_win.h"

#include <vector>

#include <windows.h>

bool localTimeOf(qint64 unixSeconds, struct tm *local)
{
    // Windows' own time zone rules, for that moment's year (never the C
    // library's, which reads a TZ variable in a format of its own).
    if (unixSeconds < -11644473600LL) // before 1601
        return false;
    const quint64 ticks = quint64(unixSeconds + 11644473600LL) * 10000000ULL;
    FILETIME utc {DWORD(ticks), DWORD(ticks >> 32)};
    SYSTEMTIME universal, there;
    if (!::FileTimeToSystemTime(&utc, &universal))
        return false;
    // The rules of that year where Windows knows them, else today's.
    TIME_ZONE_INFORMATION zone;
    const bool yearKnown = ::GetTimeZoneInformationForYear(universal.wYear, nullptr, &zone);
    if (!::SystemTimeToTzSpecificLocalTime(yearKnown ? &zone : nullptr, &universal, &there))
        return false;
    *local = {};
    local->tm_year = there.wYear - 1900;
    local->tm_mon = there.wMonth - 1;
    local->tm_mday = there.wDay;
    local->tm_hour = there.wHour;
    local->tm_min = there.wMinute;
    local->tm_sec = there.wSecond;
    local->tm_wday = there.wDayOfWeek;
    local->tm_isdst = -1;
    return true;
}

void failWritesPastFileSizeLimit()
{
    // Windows has no file-size limit per process: nothing to set.
}

FileSizeLimit fileSizeLimitFor(const QString &folder)
{
    // FAT file systems (a USB stick) hold files of at most 4 GiB - 1.
    FileSizeLimit limit;
    const std::wstring path = widePath(folder);
    std::vector<wchar_t> root(path.size() + 2);
    wchar_t system[MAX_PATH + 1] = {};
    if (!path.empty() && ::GetVolumePathNameW(path.c_str(), root.data(), DWORD(root.size()))
        && ::GetVolumeInformationW(root.data(), nullptr, 0, nullptr, nullptr, nullptr, system,
                                   MAX_PATH + 1)) {
        const QString name = QString::fromWCharArray(system);
        if (name.startsWith(QStringLiteral("FAT"), Qt::CaseInsensitive)) { // FAT, FAT32, not exFAT
            limit.source = FileSizeLimit::FileSystem;
            limit.bytes = 0xffffffffull;
        }
    }
    return limit;
}
