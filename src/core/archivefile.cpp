#include "archivefile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char leftoverPrefix[] = ".upkg-";
const char leftoverSuffix[] = ".tmp";

constexpr quint64 writePiece = 1 << 20;

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

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

std::atomic<bool> namelessFiles {true};

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

ArchiveFile::ArchiveFile(const QString &archivePath)
    : archivePath(archivePath)
    , folder(QFileInfo(archivePath).absolutePath())
    , fileName(QFileInfo(archivePath).fileName())
{
    zip_error_init(&error);
}

ArchiveFile::~ArchiveFile()
{
    discard();
    zip_error_fini(&error);
}

PackageFailure ArchiveFile::writeFailureFor(int error) const
{
    const PackageFailure::Reason reason = reasonForWriteError(error);
    if (reason != PackageFailure::WriteError)
        return writeFailure(reason, folder);
    return writeFailure(reason, archivePath, systemError(error));
}

PackageFailure ArchiveFile::create()
{
    folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return writeFailureFor(errno);
    sweepLeftovers();
    fd = namelessFiles ? ::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666) : -1;
    if (fd < 0 && namelessFiles && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return writeFailureFor(errno);
    while (fd < 0) {
        // No nameless files here: a hidden name, locked while it is used.
        const QByteArray name = hiddenCandidate();
        fd = ::openat(folderFd, name.constData(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return writeFailureFor(errno);
        if (fd < 0)
            continue;
        struct stat mine, named;
        ::flock(fd, LOCK_EX);
        // Another run's sweep may have taken the name before it was locked.
        if (::fstat(fd, &mine) == 0
            && ::fstatat(folderFd, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && sameFile(mine, named)) {
            hiddenName = QString::fromLatin1(name);
        } else {
            ::close(fd);
            fd = -1;
        }
    }
    ::flock(fd, LOCK_EX);
    return PackageFailure();
}

// Files of the hidden kind that no process holds are what a killed run left.
void ArchiveFile::sweepLeftovers() const
{
    const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        if (!isLeftoverName(entry->d_name))
            continue;
        const int leftover
            = ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (leftover < 0)
            continue;
        struct stat info;
        if (::fstat(leftover, &info) == 0 && S_ISREG(info.st_mode)
            && ::flock(leftover, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(folderFd, entry->d_name, 0);
        ::close(leftover);
    }
    ::closedir(dir);
}

bool ArchiveFile::linkInto(const QString &name)
{
    const QByteArray target = QFile::encodeName(name);
    if (::linkat(fd, "", folderFd, target.constData(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno != ENOENT && errno != EPERM)
        return false;
    // Without the right to link by descriptor, through /proc.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    return ::linkat(AT_FDCWD, self.constData(), folderFd, target.constData(), AT_SYMLINK_FOLLOW)
        == 0;
}

PackageFailure ArchiveFile::commit()
{
    const QByteArray target = QFile::encodeName(fileName);
    struct stat earlier;
    if (::fstatat(folderFd, target.constData(), &earlier, 0) == 0 && S_ISREG(earlier.st_mode))
        ::fchmod(fd, earlier.st_mode & 07777);
    if (!flush())
        return writeFailureFor(zip_error_code_system(&error));
    if (::fsync(fd) != 0)
        return writeFailureFor(errno);
    if (hiddenName.isEmpty()) {
        if (linkInto(fileName)) {
            committed = true;
        } else if (errno != EEXIST) {
            return writeFailureFor(errno);
        } else {
            // An earlier archive stands there: a name first, then a rename
            // over it, so the earlier one is replaced in one step.
            for (int attempt = 0; hiddenName.isEmpty() && attempt < 100; ++attempt) {
                const QString name = QString::fromLatin1(hiddenCandidate());
                if (linkInto(name))
                    hiddenName = name;
                else if (errno != EEXIST)
                    return writeFailureFor(errno);
            }
        }
    }
    if (!committed) {
        if (::renameat(folderFd, QFile::encodeName(hiddenName).constData(), folderFd,
                       target.constData())
            != 0)
            return writeFailureFor(errno);
        committed = true;
        hiddenName.clear();
    }
    ::fsync(folderFd);
    return PackageFailure();
}

void ArchiveFile::useNamelessFiles(bool use)
{
    namelessFiles = use;
}

void ArchiveFile::discard()
{
    if (fd >= 0 && !committed && !hiddenName.isEmpty())
        ::unlinkat(folderFd, QFile::encodeName(hiddenName).constData(), 0);
    if (fd >= 0)
        ::close(fd);
    if (folderFd >= 0)
        ::close(folderFd);
    fd = folderFd = -1;
}

// libzip hands its bytes over a few KiB at a time; they go to the file in
// pieces of a MiB, which saves most of the system calls.
bool ArchiveFile::write(const char *bytes, quint64 length)
{
    if (!pending.empty() && offset != pendingAt + pending.size() && !flush())
        return false;
    if (pending.empty())
        pendingAt = offset;
    pending.insert(pending.end(), bytes, bytes + length);
    offset += length;
    end = qMax(end, offset);
    return pending.size() < writePiece || flush();
}

bool ArchiveFile::flush()
{
    const char *bytes = pending.data();
    quint64 at = pendingAt;
    quint64 left = pending.size();
    while (left > 0) {
        const ssize_t put = ::pwrite(fd, bytes, size_t(left), off_t(at));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            fail(ZIP_ER_WRITE, errno);
            return false;
        }
        bytes += put;
        left -= quint64(put);
        at += quint64(put);
    }
    pending.clear();
    startWriteback(at);
    return true;
}

// The disk starts on what is written while the run goes on, so the flush
// before the archive is put in place waits only for the last piece.
void ArchiveFile::startWriteback(quint64 writtenTo)
{
    constexpr quint64 piece = 8 << 20;
    if (writtenTo < writebackFrom + piece)
        return;
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(fd, off_t(writebackFrom), off_t(writtenTo - writebackFrom),
                      SYNC_FILE_RANGE_WRITE);
#endif
    writebackFrom = writtenTo;
}

zip_int64_t ArchiveFile::fail(int zipError, int systemError)
{
    zip_error_set(&error, zipError, systemError);
    return -1;
}

zip_source_t *ArchiveFile::writeSource(zip_error_t *error)
{
    return zip_source_function_create(&ArchiveFile::callback, this, error);
}

zip_int64_t ArchiveFile::callback(void *state, void *data, zip_uint64_t length,
                                  zip_source_cmd_t command)
{
    auto *self = static_cast<ArchiveFile *>(state);
    switch (command) {
    case ZIP_SOURCE_STAT:
        // A new archive: libzip starts it from nothing.
        return self->fail(ZIP_ER_READ, ENOENT);
    case ZIP_SOURCE_BEGIN_WRITE:
        self->offset = self->end = self->writebackFrom = 0;
        self->pending.clear();
        return ::ftruncate(self->fd, 0) == 0 ? 0 : self->fail(ZIP_ER_WRITE, errno);
    case ZIP_SOURCE_WRITE:
        return self->write(static_cast<const char *>(data), length) ? zip_int64_t(length) : -1;
    case ZIP_SOURCE_SEEK_WRITE: {
        const zip_int64_t to
            = zip_source_seek_compute_offset(self->offset, self->end, data, length, &self->error);
        if (to < 0 || !self->flush())
            return -1;
        self->offset = zip_uint64_t(to);
        return 0;
    }
    case ZIP_SOURCE_TELL_WRITE:
        return zip_int64_t(self->offset);
    case ZIP_SOURCE_COMMIT_WRITE:
        // Whether the file becomes the archive is commit()'s to decide.
        return self->flush() ? 0 : -1;
    case ZIP_SOURCE_ROLLBACK_WRITE:
        self->pending.clear();
        return 0;
    case ZIP_SOURCE_REMOVE:
    case ZIP_SOURCE_FREE:
    case ZIP_SOURCE_OPEN:
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_READ:
    case ZIP_SOURCE_SEEK:
        return self->fail(ZIP_ER_OPNOTSUPP, 0);
    case ZIP_SOURCE_TELL:
        return zip_int64_t(self->offset);
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&self->error, data, length);
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_WRITABLE;
    default:
        return self->fail(ZIP_ER_OPNOTSUPP, 0);
    }
}
