// The archive file on Linux: O_TMPFILE in the archive's folder, linked into
// place when complete; a hidden, locked name where the file system has no
// nameless files.
#include "archivefile.h"

#include "stamp_posix.h"

#include <QFile>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<bool> namelessFiles {true};

QByteArray hiddenCandidate()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray name(leftoverPrefix);
    for (int i = 0; i < 6; ++i)
        name.append(letters[QRandomGenerator::global()->bounded(int(sizeof(letters) - 1))]);
    return name + leftoverSuffix;
}

bool isLeftoverName(const char *name)
{
    const size_t length = std::strlen(name);
    return length == sizeof(leftoverPrefix) - 1 + 6 + sizeof(leftoverSuffix) - 1
        && std::strncmp(name, leftoverPrefix, sizeof(leftoverPrefix) - 1) == 0
        && std::strcmp(name + length - (sizeof(leftoverSuffix) - 1), leftoverSuffix) == 0;
}

// Who stands at a name in a folder held open, links not followed.
FileIdentity identityIn(int folder, const QByteArray &name)
{
    struct stat info;
    FileIdentity identity;
    if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        identity.exists = true;
        identity.stamp = stampOf(info);
    }
    return identity;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

void ArchiveFile::useNamelessFiles(bool use)
{
    namelessFiles = use;
}

FileError ArchiveFile::create()
{
    const int dir
        = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return FileError::last();
    folderHandle = dir;
    sweepLeftovers();
    int fd = namelessFiles ? ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666) : -1;
    if (fd < 0 && namelessFiles && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return FileError::last();
    while (fd < 0) {
        // No nameless files here: a hidden name, locked while it is used.
        const QByteArray name = hiddenCandidate();
        fd = ::openat(dir, name.constData(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return FileError::last();
        if (fd < 0)
            continue;
        struct stat mine, named;
        ::flock(fd, LOCK_EX);
        // Another run's sweep may have taken the name before it was locked.
        if (::fstat(fd, &mine) == 0
            && ::fstatat(dir, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && sameFile(mine, named)) {
            hiddenName = QString::fromLatin1(name);
        } else {
            ::close(fd);
            fd = -1;
        }
    }
    handle = fd;
    ::flock(fd, LOCK_EX);
    return FileError();
}

// Files of the hidden kind that no process holds are what a killed run left.
void ArchiveFile::sweepLeftovers() const
{
    const int listFd = ::openat(int(folderHandle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        if (!isLeftoverName(entry->d_name))
            continue;
        const int leftover = ::openat(int(folderHandle), entry->d_name,
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (leftover < 0)
            continue;
        struct stat info;
        if (::fstat(leftover, &info) == 0 && S_ISREG(info.st_mode)
            && ::flock(leftover, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(int(folderHandle), entry->d_name, 0);
        ::close(leftover);
    }
    ::closedir(dir);
}

bool ArchiveFile::writeOut(const char *bytes, quint64 length, quint64 at)
{
    while (length > 0) {
        const ssize_t put = ::pwrite(int(handle), bytes, size_t(length), off_t(at));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return fail(FileError::last());
        bytes += put;
        length -= quint64(put);
        at += quint64(put);
    }
    return true;
}

bool ArchiveFile::readAt(quint64 at, char *bytes, quint64 length) const
{
    while (length > 0) {
        const ssize_t got = ::pread(int(handle), bytes, size_t(length), off_t(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        length -= quint64(got);
        at += quint64(got);
    }
    return true;
}

bool ArchiveFile::truncate()
{
    pending.clear();
    offset = end = writebackFrom = 0;
    return ::ftruncate(int(handle), 0) == 0 || fail(FileError::last());
}

void ArchiveFile::startWriteback(quint64 writtenTo)
{
    constexpr quint64 piece = 8 << 20;
    if (writtenTo < writebackFrom + piece)
        return;
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(int(handle), off_t(writebackFrom), off_t(writtenTo - writebackFrom),
                      SYNC_FILE_RANGE_WRITE);
#endif
    writebackFrom = writtenTo;
}

// A nameless file gets a hidden name, to be renamed over an earlier archive.
bool ArchiveFile::giveHiddenName()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(handle);
    for (int attempt = 0; hiddenName.isEmpty() && attempt < 100; ++attempt) {
        const QByteArray name = hiddenCandidate();
        if (::linkat(int(handle), "", int(folderHandle), name.constData(), AT_EMPTY_PATH) == 0
            || ((errno == ENOENT || errno == EPERM)
                // Without the right to link by descriptor, through /proc.
                && ::linkat(AT_FDCWD, self.constData(), int(folderHandle), name.constData(),
                            AT_SYMLINK_FOLLOW)
                    == 0))
            hiddenName = QString::fromLatin1(name);
        else if (errno != EEXIST)
            return fail(FileError::last());
    }
    return !hiddenName.isEmpty() || fail(FileError::fromCode(EEXIST));
}

FileError ArchiveFile::putInPlace(const FileIdentity &replaceable)
{
    const QByteArray target = QFile::encodeName(fileName);
    const int dir = int(folderHandle);
    if (::fsync(int(handle)) != 0)
        return FileError::last();
    const FileIdentity standing = identityIn(dir, target);
    if (standing.exists && standing != replaceable)
        return FileError::of(FileError::Exists);
    if (standing.exists) {
        // Replaced in one step: the earlier archive keeps its permission bits.
        struct stat earlier;
        if (::fstatat(dir, target.constData(), &earlier, 0) == 0 && S_ISREG(earlier.st_mode))
            ::fchmod(int(handle), earlier.st_mode & 07777);
    }
    if (standing.exists) {
        if (hiddenName.isEmpty() && !giveHiddenName())
            return lastError;
        if (::renameat(dir, QFile::encodeName(hiddenName).constData(), dir, target.constData())
            != 0)
            return FileError::last();
        hiddenName.clear();
    } else if (hiddenName.isEmpty()) {
        // Linking never replaces: a file that came meanwhile stays.
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(handle);
        if (::linkat(int(handle), "", dir, target.constData(), AT_EMPTY_PATH) != 0
            && ((errno != ENOENT && errno != EPERM)
                || ::linkat(AT_FDCWD, self.constData(), dir, target.constData(), AT_SYMLINK_FOLLOW)
                    != 0))
            return FileError::last();
    } else {
        const QByteArray hidden = QFile::encodeName(hiddenName);
        if (::renameat2(dir, hidden.constData(), dir, target.constData(), RENAME_NOREPLACE) != 0) {
            if (errno != EINVAL && errno != ENOSYS)
                return FileError::last();
            // A file system that cannot rename without replacing: link and
            // unlink where it has links, else a rename right after a look.
            if (::linkat(dir, hidden.constData(), dir, target.constData(), 0) == 0)
                ::unlinkat(dir, hidden.constData(), 0);
            else if (errno == EEXIST)
                return FileError::last();
            else if (identityIn(dir, target).exists)
                return FileError::of(FileError::Exists);
            else if (::renameat(dir, hidden.constData(), dir, target.constData()) != 0)
                return FileError::last();
        }
        hiddenName.clear();
    }
    ::fsync(dir);
    return FileError();
}

QString ArchiveFile::currentFolder() const
{
    // The folder is held open, so the archive lands in it wherever it was
    // moved; its path now is what /proc says of that descriptor.
    struct stat held, named;
    if (folderHandle < 0 || ::fstat(int(folderHandle), &held) != 0)
        return QString();
    if (::stat(QFile::encodeName(folder).constData(), &named) == 0 && sameFile(held, named))
        return folder;
    char path[4096];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(folderHandle);
    const ssize_t length = ::readlink(link.constData(), path, sizeof(path));
    if (length <= 0 || size_t(length) >= sizeof(path))
        return QString();
    return QFile::decodeName(QByteArray(path, int(length)));
}

void ArchiveFile::discard()
{
    if (handle >= 0 && !committed && !hiddenName.isEmpty())
        ::unlinkat(int(folderHandle), QFile::encodeName(hiddenName).constData(), 0);
    if (handle >= 0)
        ::close(int(handle));
    if (folderHandle >= 0)
        ::close(int(folderHandle));
    handle = folderHandle = -1;
}
