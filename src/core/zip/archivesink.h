#ifndef ARCHIVESINK_H
#define ARCHIVESINK_H

#include "archivefile.h"

#include <zip.h>

// libzip's way into an ArchiveFile: a writable source that starts a new
// archive from nothing. Whether the file becomes the archive is not libzip's
// to decide: committing the write only flushes it, and the caller commits
// the ArchiveFile once it has read it back.
class ArchiveSink
{
public:
    explicit ArchiveSink(ArchiveFile *file);
    ~ArchiveSink();
    ArchiveSink(const ArchiveSink &) = delete;
    ArchiveSink &operator=(const ArchiveSink &) = delete;

    // A source for zip_open_from_source(); libzip takes it over, and this
    // sink must outlive it.
    zip_source_t *source(zip_error_t *error);

private:
    static zip_int64_t callback(void *state, void *data, zip_uint64_t length,
                                zip_source_cmd_t command);
    zip_int64_t failed(int zipError);

    ArchiveFile *file;
    zip_error_t error;
};

#endif // ARCHIVESINK_H
