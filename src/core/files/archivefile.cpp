#include "archivefile.h"

#include <QFileInfo>

namespace {

constexpr quint64 writePiece = 1 << 20;

} // namespace

ArchiveFile::ArchiveFile(const QString &archivePath)
    : archivePath(archivePath)
    , folder(QFileInfo(archivePath).absolutePath())
    , fileName(QFileInfo(archivePath).fileName())
{
}

ArchiveFile::~ArchiveFile()
{
    discard();
}

bool ArchiveFile::fail(const FileError &error)
{
    lastError = error;
    return false;
}

// An archive library hands its bytes over a few KiB at a time; they go to
// the file in pieces of a MiB, which saves most of the system calls.
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

bool ArchiveFile::seek(quint64 to)
{
    if (!flush())
        return false;
    offset = to;
    return true;
}

bool ArchiveFile::flush()
{
    if (pending.empty())
        return true;
    if (!writeOut(pending.data(), pending.size(), pendingAt))
        return false;
    const quint64 writtenTo = pendingAt + pending.size();
    pending.clear();
    startWriteback(writtenTo);
    return true;
}

bool ArchiveFile::writeAt(quint64 at, const char *bytes, quint64 length)
{
    return flush() && writeOut(bytes, length, at);
}

QString ArchiveFile::committedPath() const
{
    const QString now = currentFolder();
    return now.isEmpty() || now == folder ? archivePath : now + QLatin1Char('/') + fileName;
}

FileError ArchiveFile::commit(const FileIdentity &replaceable)
{
    if (!flush())
        return lastError;
    const FileError placed = putInPlace(replaceable);
    if (!placed.failed())
        committed = true;
    return placed;
}
