#include "fileerror.h"

#include <windows.h>

FileError FileError::last()
{
    return fromCode(int(::GetLastError()));
}

FileError FileError::fromCode(int code)
{
    FileError e;
    e.code = code;
    // The system's own words, in the user's language.
    wchar_t *words = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&words), 0, nullptr);
    if (length > 0 && words)
        e.words = QString::fromWCharArray(words, int(length)).trimmed();
    if (words)
        ::LocalFree(words);
    if (e.words.isEmpty())
        e.words = QStringLiteral("error %1").arg(code);
    switch (DWORD(code)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY: // a file where a folder was named
        e.kind = NotFound;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
        e.kind = NoPermission;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case 1295: // ERROR_DISK_QUOTA_EXCEEDED, which MinGW's headers lack
        e.kind = DiskFull;
        break;
    case ERROR_FILE_TOO_LARGE:
        e.kind = FileTooLarge;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        e.kind = Exists;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        e.kind = InUse;
        break;
    default:
        e.kind = Other;
    }
    return e;
}
