// Input files on Windows: opened by wide-character path, regular files on a
// disk only, read at an offset with ReadFile and an OVERLAPPED position.
#include "inputfile.h"

#include "native_win.h"

namespace {

constexpr DWORD shareEverything = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr quint64 largestRead = 8 << 20;

// Reads at offset from any thread: a synchronous handle moves its own file
// position, but the OVERLAPPED offset says where each read starts.
bool readAtOffset(HANDLE handle, quint64 offset, char *data, DWORD length, DWORD *got)
{
    OVERLAPPED at {};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    *got = 0;
    if (::ReadFile(handle, data, length, got, &at))
        return true;
    return ::GetLastError() == ERROR_HANDLE_EOF; // past the end: nothing read
}

} // namespace

InputFile::~InputFile()
{
    if (handle != -1)
        ::CloseHandle(HANDLE(handle));
}

std::unique_ptr<InputFile> InputFile::open(const QString &path, FileError *error)
{
    bool device = false;
    const std::wstring name = widePath(path, &device);
    if (name.empty()) {
        *error = FileError::of(device ? FileError::NotRegularFile : FileError::NotFound);
        return nullptr;
    }
    // A folder is refused before it is opened; anything else that is no file
    // on a disk (a device, a pipe) is refused by what was opened, before a
    // byte is read. Others may go on reading, writing, renaming or deleting
    // the file: a change shows in unchanged().
    WIN32_FILE_ATTRIBUTE_DATA before;
    if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &before)) {
        *error = FileError::last();
        return nullptr;
    }
    if (before.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        *error = FileError::of(FileError::NotRegularFile);
        return nullptr;
    }
    const HANDLE opened = ::CreateFileW(name.c_str(), GENERIC_READ, shareEverything, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        *error = FileError::last();
        return nullptr;
    }
    std::unique_ptr<InputFile> file(new InputFile);
    file->handle = qintptr(opened);
    DWORD attributes = 0;
    if (::GetFileType(opened) != FILE_TYPE_DISK
        || !stampOfHandle(opened, &file->opened, &attributes)
        || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *error = FileError::of(FileError::NotRegularFile);
        return nullptr;
    }
    *error = FileError();
    return file;
}

bool InputFile::readAt(quint64 offset, char *data, quint64 length) const
{
    if (offset > size() || length > size() - offset)
        return false;
    while (length > 0) {
        DWORD got = 0;
        if (!readAtOffset(HANDLE(handle), offset, data, DWORD(qMin(length, largestRead)), &got)) {
            error = FileError::last();
            return false;
        }
        if (got == 0) {
            // A file cut short after it was opened reads as nothing.
            error = FileError();
            return false;
        }
        data += got;
        offset += got;
        length -= got;
    }
    return true;
}

bool InputFile::unchanged() const
{
    FileStamp now;
    char beyond;
    DWORD got = 0;
    return stampOfHandle(HANDLE(handle), &now) && now == opened
        && readAtOffset(HANDLE(handle), opened.size, &beyond, 1, &got) && got == 0;
}

FileError lookAt(const QString &path)
{
    if (path.isEmpty())
        return FileError::of(FileError::NotFound);
    bool device = false;
    const std::wstring name = widePath(path, &device);
    if (name.empty()) // a device is there, and refused when it is opened
        return device ? FileError() : FileError::of(FileError::NotFound);
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &info))
        return FileError();
    return FileError::last();
}

FileIdentity FileIdentity::at(const QString &path)
{
    FileIdentity identity;
    const std::wstring name = widePath(path);
    if (name.empty())
        return identity;
    // Attributes only, which no other program's sharing mode keeps from being
    // read; a link is looked at itself, not followed.
    const Handle file(
        ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, shareEverything, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.valid()) {
        identity.exists = stampOfHandle(file.get(), &identity.stamp);
        return identity;
    }
    // Something stands there that cannot be opened at all: what the folder
    // says of it.
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &info)) {
        identity.exists = true;
        identity.stamp.size = (quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        identity.stamp.modifiedNs = ((qint64(info.ftLastWriteTime.dwHighDateTime) << 32
                                      | info.ftLastWriteTime.dwLowDateTime)
                                     - 116444736000000000LL)
            * 100;
    }
    return identity;
}
