#ifndef NATIVE_WIN_H
#define NATIVE_WIN_H

#include "inputfile.h"

#include <QString>

#include <string>

#include <windows.h>

// What the Windows implementation of the files layer shares.

// A path as Windows' wide-character calls take it: absolute, with
// backslashes, "." and ".." resolved as Windows resolves them, and with the
// "\\?\" prefix, so that a path past 260 characters works as any other.
// Empty for a path that names a device ("\\.\", "CON", "NUL") rather than a
// file on a drive or a share (device then says so), and for one that names
// nothing: such a path is never opened.
std::wstring widePath(const QString &path, bool *device = nullptr);

// A path that Windows gave back ("\\?\C:\..."), as the layers above write
// paths: without the prefix, with "/".
QString pathFromWide(const std::wstring &path);

// The stamp of an open file, from the file system's own records; false when
// they cannot be read.
bool stampOfHandle(HANDLE handle, FileStamp *stamp, DWORD *attributes = nullptr);

// An open handle that closes itself.
class Handle
{
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE)
        : handle(handle)
    {
    }
    ~Handle()
    {
        if (valid())
            ::CloseHandle(handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    bool valid() const { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
    HANDLE get() const { return handle; }

private:
    HANDLE handle;
};

#endif // NATIVE_WIN_H
