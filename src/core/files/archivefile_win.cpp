// The archive file on Windows: a hidden ".upkg-XXXXXX.tmp" in the archive's
// folder that the system deletes when its handle closes, also when the
// process is killed (FileDispositionInfo), renamed into place when complete
// (FileRenameInfo, over an earlier archive only with consent) and flushed.
#include "archivefile.h"

#include "native_win.h"

#include <QRandomGenerator>

#include <vector>

namespace {

QString hiddenCandidate()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString name = QString::fromLatin1(leftoverPrefix);
    for (int i = 0; i < 6; ++i)
        name.append(
            QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof(letters) - 1))]));
    return name + QString::fromLatin1(leftoverSuffix);
}

bool isLeftoverName(const QString &name)
{
    return name.size() == int(sizeof(leftoverPrefix) - 1 + 6 + sizeof(leftoverSuffix) - 1)
        && name.startsWith(QLatin1String(leftoverPrefix))
        && name.endsWith(QLatin1String(leftoverSuffix));
}

std::wstring inFolder(const QString &folder, const QString &name)
{
    return widePath(folder + QLatin1Char('/') + name);
}

// Marks an open file to be deleted when its last handle closes (true), or
// keeps it (false).
bool deleteOnClose(HANDLE handle, bool remove)
{
    FILE_DISPOSITION_INFO disposition {BOOLEAN(remove)};
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                        sizeof(disposition));
}

bool setAttributes(HANDLE handle, DWORD attributes)
{
    FILE_BASIC_INFO basic {}; // times of 0 stay as they are
    basic.FileAttributes = attributes;
    return ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic));
}

// Renames an open file (opened with DELETE access) to a full path.
bool renameTo(HANDLE handle, const std::wstring &target, bool replace)
{
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = DWORD(nameBytes);
    memcpy(rename->FileName, target.c_str(), nameBytes);
    return ::SetFileInformationByHandle(handle, FileRenameInfo, rename, DWORD(buffer.size()));
}

// Whether another program holds the file at path open in a way that keeps
// it from being replaced.
bool heldByAnother(const std::wstring &path)
{
    const Handle probe(::CreateFileW(
        path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return !probe.valid() && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

} // namespace

void ArchiveFile::useNamelessFiles(bool)
{
    // Windows has no nameless files: every run takes the hidden name's way.
}

FileError ArchiveFile::create()
{
    const std::wstring folderName = widePath(folder);
    if (folderName.empty())
        return FileError::of(FileError::NotFound);
    // The folder is held (others may still rename or delete it) to find the
    // archive's place when it was moved.
    const HANDLE dir = ::CreateFileW(folderName.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE)
        return FileError::last();
    folderHandle = qintptr(dir);
    sweepLeftovers();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = hiddenCandidate();
        // No other process may open it for writing or deleting: a sweep of
        // another run leaves it alone.
        const HANDLE file
            = ::CreateFileW(inFolder(folder, name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                            FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_EXISTS)
                continue;
            return FileError::last();
        }
        handle = qintptr(file);
        hiddenName = name;
        // From here on the file goes with its handle, however the process ends.
        if (!deleteOnClose(file, true)) {
            const FileError error = FileError::last();
            discard();
            return error;
        }
        return FileError();
    }
    return FileError::of(FileError::Exists);
}

// Hidden files of a run that no process holds any more: what a run killed
// between its last two steps left (the system deletes the others itself).
void ArchiveFile::sweepLeftovers() const
{
    WIN32_FIND_DATAW found;
    const std::wstring pattern = inFolder(
        folder, QString::fromLatin1(leftoverPrefix) + "*" + QString::fromLatin1(leftoverSuffix));
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (!isLeftoverName(name)
            || (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        // Opening it for deletion with no sharing fails while anyone holds it.
        const Handle leftover(::CreateFileW(inFolder(folder, name).c_str(),
                                            DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        FileStamp stamp;
        DWORD attributes = 0;
        if (leftover.valid() && ::GetFileType(leftover.get()) == FILE_TYPE_DISK
            && stampOfHandle(leftover.get(), &stamp, &attributes)
            && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            deleteOnClose(leftover.get(), true);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

bool ArchiveFile::writeOut(const char *bytes, quint64 length, quint64 at)
{
    while (length > 0) {
        OVERLAPPED position {};
        position.Offset = DWORD(at);
        position.OffsetHigh = DWORD(at >> 32);
        DWORD put = 0;
        if (!::WriteFile(HANDLE(handle), bytes, DWORD(qMin<quint64>(length, 1u << 30)), &put,
                         &position))
            return fail(FileError::last());
        bytes += put;
        length -= put;
        at += put;
    }
    return true;
}

bool ArchiveFile::readAt(quint64 at, char *bytes, quint64 length) const
{
    while (length > 0) {
        OVERLAPPED position {};
        position.Offset = DWORD(at);
        position.OffsetHigh = DWORD(at >> 32);
        DWORD got = 0;
        if (!::ReadFile(HANDLE(handle), bytes, DWORD(qMin<quint64>(length, 1u << 30)), &got,
                        &position)
            || got == 0)
            return false;
        bytes += got;
        length -= got;
        at += got;
    }
    return true;
}

bool ArchiveFile::truncate()
{
    pending.clear();
    offset = end = writebackFrom = 0;
    FILE_END_OF_FILE_INFO nothing {};
    return ::SetFileInformationByHandle(HANDLE(handle), FileEndOfFileInfo, &nothing,
                                        sizeof(nothing))
        || fail(FileError::last());
}

void ArchiveFile::startWriteback(quint64 writtenTo)
{
    // Windows' cache manager writes dirty pages back on its own, within
    // seconds; there is nothing to ask for.
    writebackFrom = writtenTo;
}

bool ArchiveFile::giveHiddenName()
{
    return true; // the file has had its hidden name from the start
}

FileError ArchiveFile::putInPlace(const FileIdentity &replaceable)
{
    const HANDLE file = HANDLE(handle);
    if (!::FlushFileBuffers(file))
        return FileError::last();
    const QString place = currentFolder().isEmpty() ? folder : currentFolder();
    const std::wstring target = inFolder(place, fileName);
    if (target.empty())
        return FileError::of(FileError::NotFound);
    const FileIdentity standing = FileIdentity::at(place + QLatin1Char('/') + fileName);
    if (standing.exists && standing != replaceable)
        return FileError::of(FileError::Exists);
    // A file that another program holds open without letting it be deleted
    // cannot be replaced: said before the rename (which Wine would let pass).
    if (standing.exists && heldByAnother(target))
        return FileError::fromCode(ERROR_SHARING_VIOLATION);
    // A file marked for deletion cannot be renamed: it is kept from here,
    // and marked again if the rename fails. Only a kill in between leaves it,
    // for the next run's sweep.
    if (!setAttributes(file, FILE_ATTRIBUTE_NORMAL) || !deleteOnClose(file, false))
        return FileError::last();
    if (!renameTo(file, target, standing.exists)) {
        FileError error = FileError::last();
        if (error.code == ERROR_ACCESS_DENIED && heldByAnother(target))
            error = FileError::fromCode(ERROR_SHARING_VIOLATION);
        else if (!standing.exists && FileIdentity::at(place + QLatin1Char('/') + fileName).exists)
            error = FileError::of(FileError::Exists); // a file came meanwhile: it stays
        deleteOnClose(file, true);
        setAttributes(file, FILE_ATTRIBUTE_HIDDEN);
        return error;
    }
    hiddenName.clear();
    // The new name reaches the disk too.
    ::FlushFileBuffers(file);
    return FileError();
}

QString ArchiveFile::currentFolder() const
{
    if (folderHandle == -1)
        return QString();
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length
            = ::GetFinalPathNameByHandleW(HANDLE(folderHandle), path.data(), DWORD(path.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return QString();
        if (length < path.size())
            break;
        path.resize(length + 1);
    }
    const QString now = pathFromWide(std::wstring(path.data()));
    // The same folder under the name it was given keeps that name.
    return now.compare(pathFromWide(widePath(folder)), Qt::CaseInsensitive) == 0 ? folder : now;
}

void ArchiveFile::discard()
{
    if (handle != -1) {
        if (!committed)
            deleteOnClose(HANDLE(handle), true);
        ::CloseHandle(HANDLE(handle));
    }
    if (folderHandle != -1)
        ::CloseHandle(HANDLE(folderHandle));
    handle = folderHandle = -1;
}
