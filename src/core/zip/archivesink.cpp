#include "archivesink.h"

#include <cerrno>

ArchiveSink::ArchiveSink(ArchiveFile *file)
    : file(file)
{
    zip_error_init(&error);
}

ArchiveSink::~ArchiveSink()
{
    zip_error_fini(&error);
}

zip_source_t *ArchiveSink::source(zip_error_t *error)
{
    return zip_source_function_create(&ArchiveSink::callback, this, error);
}

zip_int64_t ArchiveSink::failed(int zipError)
{
    // The file's own error says why; libzip is told only that it failed.
    zip_error_set(&error, zipError, file->error().code);
    return -1;
}

zip_int64_t ArchiveSink::callback(void *state, void *data, zip_uint64_t length,
                                  zip_source_cmd_t command)
{
    auto *self = static_cast<ArchiveSink *>(state);
    ArchiveFile *file = self->file;
    switch (command) {
    case ZIP_SOURCE_STAT:
        // A new archive: libzip starts it from nothing.
        zip_error_set(&self->error, ZIP_ER_READ, ENOENT);
        return -1;
    case ZIP_SOURCE_BEGIN_WRITE:
        return file->truncate() ? 0 : self->failed(ZIP_ER_WRITE);
    case ZIP_SOURCE_WRITE:
        return file->write(static_cast<const char *>(data), length) ? zip_int64_t(length)
                                                                    : self->failed(ZIP_ER_WRITE);
    case ZIP_SOURCE_SEEK_WRITE: {
        const zip_int64_t to = zip_source_seek_compute_offset(file->position(), file->size(), data,
                                                              length, &self->error);
        if (to < 0)
            return -1;
        return file->seek(zip_uint64_t(to)) ? 0 : self->failed(ZIP_ER_WRITE);
    }
    case ZIP_SOURCE_TELL_WRITE:
    case ZIP_SOURCE_TELL:
        return zip_int64_t(file->position());
    case ZIP_SOURCE_COMMIT_WRITE:
        return file->flush() ? 0 : self->failed(ZIP_ER_WRITE);
    case ZIP_SOURCE_ROLLBACK_WRITE:
    case ZIP_SOURCE_REMOVE:
    case ZIP_SOURCE_FREE:
    case ZIP_SOURCE_OPEN:
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&self->error, data, length);
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_WRITABLE;
    default:
        zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}
