#ifndef ARCHIVEFILE_H
#define ARCHIVEFILE_H

#include "packagefailure.h"

#include <QString>

#include <zip.h>

#include <vector>

// The file a run writes its archive into. It has no name while it is
// written (O_TMPFILE in the archive's folder), so a run that fails, is
// cancelled or is killed leaves nothing behind; commit() gives it the
// archive's name, replacing an earlier archive in one step. Where the file
// system cannot hold a file without a name, it is written under a short
// hidden name, ".upkg-XXXXXX.tmp", locked while the run lasts; a later run
// in the same folder removes such a file once no process holds it.
class ArchiveFile
{
public:
    explicit ArchiveFile(const QString &archivePath);
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile &) = delete;
    ArchiveFile &operator=(const ArchiveFile &) = delete;

    // Creates the file in the archive's folder (which must exist).
    PackageFailure create();
    // A libzip source that writes into the file; libzip takes it over.
    zip_source_t *writeSource(zip_error_t *error);
    int descriptor() const { return fd; }
    // Where libzip writes next (bytes it wrote may not be in the file
    // until commit()).
    quint64 position() const { return offset; }

    // Makes the written file the archive: flushed to disk, then linked or
    // renamed into place. Keeps an earlier archive's permission bits.
    PackageFailure commit();

    // Whether nameless files are tried at all: off, every run takes the way
    // of a file system that has none (for tests of that way).
    static void useNamelessFiles(bool use);

private:
    static zip_int64_t callback(void *state, void *data, zip_uint64_t length,
                                zip_source_cmd_t command);
    zip_int64_t fail(int zipError, int systemError);
    bool write(const char *bytes, quint64 length);
    bool flush();
    void startWriteback(quint64 writtenTo);
    PackageFailure writeFailureFor(int error) const;
    bool linkInto(const QString &name);
    void sweepLeftovers() const;
    void discard();

    QString archivePath;
    QString folder;
    QString fileName;
    int folderFd = -1;
    int fd = -1;
    QString hiddenName; // set when the file has a name of its own
    quint64 offset = 0;
    quint64 end = 0;
    std::vector<char> pending; // written, not yet in the file
    quint64 pendingAt = 0;     // where pending goes
    quint64 writebackFrom = 0; // where the disk has not been asked to start yet
    bool committed = false;
    zip_error_t error;
};

// The prefix and suffix of the hidden name a run may leave when it is killed.
extern const char leftoverPrefix[];
extern const char leftoverSuffix[];

#endif // ARCHIVEFILE_H
