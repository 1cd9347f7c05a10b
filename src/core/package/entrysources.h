#ifndef ENTRYSOURCES_H
#define ENTRYSOURCES_H

#include "archivefile.h"
#include "dostime.h"
#include "entrychecks.h"
#include "packagefailure.h"
#include "packageitem.h"
#include "runcontrol.h"

#include <zip.h>

#include <memory>
#include <mutex>

// The bytes of a new package's entries as libzip pulls them while it writes
// the archive: a plain file (deflated on a pool of threads, or by libzip),
// a deflated entry of a combined package copied as stored (and checked
// beside the copy), another entry of one inflated and deflated again, and the
// manifest from memory.

// What all sources of one write share: the watcher, the archive file, the
// checks of copied entries, and the first failure a source met, which is what
// the run reports. Sources may fail on threads of their own.
struct WriteRun
{
    WriteRun(RunControl *control, ArchiveFile *archive, EntryChecks *checks, int jobs)
        : control(control)
        , archive(archive)
        , checks(checks)
        , jobs(jobs)
    {
    }

    RunControl *control;
    ArchiveFile *archive;
    EntryChecks *checks;
    int jobs;

    void fail(const PackageFailure &f)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!failure.failed())
            failure = f;
    }
    PackageFailure firstFailure()
    {
        std::lock_guard<std::mutex> guard(lock);
        return failure;
    }

private:
    std::mutex lock;
    PackageFailure failure;
};

// An entry's bytes as libzip pulls them while it writes the archive.
class ItemSource
{
public:
    ItemSource(WriteRun *run, int index)
        : run(run)
        , index(index)
    {
        zip_error_init(&error);
    }
    virtual ~ItemSource() { zip_error_fini(&error); }

    // Bytes this source will read, for the progress figure.
    virtual quint64 workBytes() const = 0;
    virtual bool isCompressed() const { return false; }
    virtual quint32 permissions() const = 0;
    virtual DosTime modified() const = 0;
    // The modification time in seconds since 1970 UTC, where it is known.
    virtual bool utcModified(qint64 *seconds) const = 0;

    // libzip's source callback for this entry; state is the source.
    static zip_int64_t callback(void *state, void *data, zip_uint64_t length,
                                zip_source_cmd_t command);

protected:
    virtual bool openData() = 0;
    virtual zip_int64_t readData(char *data, zip_uint64_t length) = 0;
    virtual void closeData() { }
    virtual void fillStat(zip_stat_t *st) const = 0;

    zip_int64_t fail(const PackageFailure &f)
    {
        run->fail(f);
        return failed();
    }
    zip_int64_t failed()
    {
        zip_error_set(&error, ZIP_ER_READ, 0);
        return -1;
    }

    WriteRun *run;
    int index;
    zip_error_t error;
    quint64 headerOffset = 0;
};

// A plain item, opened at once: *opened says whether that worked.
std::unique_ptr<ItemSource> fileSource(WriteRun *run, int index, const QString &path,
                                       PackageFailure *opened);
// A deflated entry of a combined package, copied as it is stored.
std::unique_ptr<ItemSource> rawCopySource(WriteRun *run, int index, const PackageItem &item);
// Any other entry of a combined package, inflated and deflated again.
std::unique_ptr<ItemSource> reencodedSource(WriteRun *run, int index, const PackageItem &item);
// The manifest, from memory, dated modified (seconds since 1970 UTC).
std::unique_ptr<ItemSource> manifestSource(WriteRun *run, int index, const QByteArray &bytes,
                                           qint64 modified);

// Every entry is deflated at zlib's default level.
constexpr int deflateLevel = 6;

#endif // ENTRYSOURCES_H
