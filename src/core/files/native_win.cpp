#include "native_win.h"

#include <QDir>

#include <vector>

namespace {

constexpr qint64 ticksFrom1601To1970 = 116444736000000000LL; // in 100 ns

qint64 nanosecondsSince1970(const LARGE_INTEGER &ticks)
{
    return (ticks.QuadPart - ticksFrom1601To1970) * 100;
}

bool startsWith(const std::wstring &text, const wchar_t *prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

} // namespace

std::wstring widePath(const QString &path, bool *device)
{
    bool deviceFound = false;
    if (!device)
        device = &deviceFound;
    *device = false;
    if (path.isEmpty())
        return std::wstring();
    const std::wstring given = QDir::toNativeSeparators(path).toStdWString();
    if (startsWith(given, L"\\\\?\\"))
        return given; // already as Windows takes it, verbatim
    // GetFullPathNameW resolves a relative path, "." and ".." (and drops a
    // trailing dot or blank) as every other Windows call would.
    std::vector<wchar_t> full(MAX_PATH);
    for (;;) {
        const DWORD length
            = ::GetFullPathNameW(given.c_str(), DWORD(full.size()), full.data(), nullptr);
        if (length == 0)
            return std::wstring();
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length + 1);
    }
    std::wstring absolute(full.begin(), full.end());
    // GetFullPathNameW drops blanks and dots at the end of the last name, so
    // that "hmi.zip " would open hmi.zip; the name is taken as written, as Qt
    // takes it (a pasted blank is then a file that does not exist).
    const std::wstring last = given.substr(given.find_last_of(L'\\') + 1);
    const std::wstring::size_type kept = last.find_last_not_of(L" .");
    const std::wstring tail = last == L"." || last == L".."
        ? std::wstring()
        : last.substr(kept == std::wstring::npos ? 0 : kept + 1);
    if (!tail.empty() && absolute.size() >= tail.size()
        && absolute.compare(absolute.size() - tail.size(), tail.size(), tail) != 0)
        absolute += tail;
    if (startsWith(absolute, L"\\\\.\\") || startsWith(absolute, L"\\\\?\\")) {
        *device = true;
        return std::wstring();
    }
    if (startsWith(absolute, L"\\\\")) { // \\server\share\...
        // \\server\pipe\... and \\server\mailslot\... are another machine's
        // pipes, not files.
        const std::wstring::size_type share = absolute.find(L'\\', 2);
        const std::wstring name = share == std::wstring::npos
            ? std::wstring()
            : absolute.substr(share + 1, absolute.find(L'\\', share + 1) - share - 1);
        if (_wcsicmp(name.c_str(), L"pipe") == 0 || _wcsicmp(name.c_str(), L"mailslot") == 0) {
            *device = true;
            return std::wstring();
        }
        return L"\\\\?\\UNC\\" + absolute.substr(2);
    }
    if (absolute.size() >= 3 && absolute[1] == L':' && absolute[2] == L'\\')
        return L"\\\\?\\" + absolute;
    return std::wstring();
}

QString pathFromWide(const std::wstring &path)
{
    std::wstring plain = path;
    if (startsWith(plain, L"\\\\?\\UNC\\"))
        plain = L"\\\\" + plain.substr(8);
    else if (startsWith(plain, L"\\\\?\\"))
        plain = plain.substr(4);
    return QDir::fromNativeSeparators(QString::fromStdWString(plain));
}

bool stampOfHandle(HANDLE handle, FileStamp *stamp, DWORD *attributes)
{
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO times;
    if (!::GetFileInformationByHandle(handle, &info)
        || !::GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof(times)))
        return false;
    stamp->device = info.dwVolumeSerialNumber;
    stamp->index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp->size = (quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->modifiedNs = nanosecondsSince1970(times.LastWriteTime);
    // Every write and every setting of the times moves the change time.
    stamp->changedNs = nanosecondsSince1970(times.ChangeTime);
    // Windows keeps no permission bits; a read-only file is r--r--r--.
    stamp->permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
    if (attributes)
        *attributes = info.dwFileAttributes;
    return true;
}
