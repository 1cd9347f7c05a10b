#ifndef ARCHIVEFILE_H
#define ARCHIVEFILE_H

#include "fileerror.h"
#include "inputfile.h"

#include <QString>

#include <vector>

// The file a run writes its archive into. It has no name while it is
// written, so a run that fails, is cancelled or is killed leaves nothing
// behind; commit() gives it the archive's name. Where the file system cannot
// hold a file without a name, it is written under a short hidden name,
// ".upkg-XXXXXX.tmp", locked while the run lasts; a later run in the same
// folder removes such a file once no process holds it.
//
// Writes are gathered into pieces of a MiB, and the disk is asked to start
// on them while the run goes on, so that the flush at the end is short.
class ArchiveFile
{
public:
    explicit ArchiveFile(const QString &archivePath);
    ~ArchiveFile(); // an uncommitted file is discarded
    ArchiveFile(const ArchiveFile &) = delete;
    ArchiveFile &operator=(const ArchiveFile &) = delete;

    // Creates the file in the archive's folder (which must exist).
    FileError create();

    // Sequential writing, as an archive library does it; false on failure,
    // which error() then says.
    bool write(const char *bytes, quint64 length);
    bool seek(quint64 offset);
    bool truncate(); // to nothing, for a fresh start
    bool flush(); // what write() gathered, into the file
    quint64 position() const { return offset; }
    quint64 size() const { return end; }
    // Random access to what was flushed, to read the archive back and to
    // mend its headers.
    bool readAt(quint64 offset, char *bytes, quint64 length) const;
    bool writeAt(quint64 offset, const char *bytes, quint64 length);
    FileError error() const { return lastError; }

    // Makes the written file the archive: flushed to disk, then put at the
    // archive's name. A file that stands there is replaced only when it is
    // still `replaceable` (what the user agreed to replace), in one step and
    // with its permission bits kept; any other file there fails with
    // FileError::Exists and is left alone, and commit() may be called again.
    FileError commit(const FileIdentity &replaceable);
    // Where the archive is once committed: its folder's path now, which
    // differs from the one given when the folder was moved during the run.
    QString committedPath() const;

    // Whether nameless files are tried at all: off, every run takes the way
    // of a file system that has none (for tests of that way).
    static void useNamelessFiles(bool use);

private:
    bool fail(const FileError &error);
    bool writeOut(const char *bytes, quint64 length, quint64 at);
    void startWriteback(quint64 writtenTo);
    FileError putInPlace(const FileIdentity &replaceable);
    bool giveHiddenName();
    void sweepLeftovers() const;
    void discard();
    QString currentFolder() const;

    QString archivePath;
    QString folder;
    QString fileName;
    qintptr folderHandle = -1;
    qintptr handle = -1;
    QString hiddenName; // set when the file has a name of its own
    quint64 offset = 0;
    quint64 end = 0;
    std::vector<char> pending; // written, not yet in the file
    quint64 pendingAt = 0; // where pending goes
    quint64 writebackFrom = 0; // where the disk has not been asked to start yet
    bool committed = false;
    FileError lastError;
};

// The prefix and suffix of the hidden name a run may leave when it is killed.
inline constexpr char leftoverPrefix[] = ".upkg-";
inline constexpr char leftoverSuffix[] = ".tmp";

#endif // ARCHIVEFILE_H
