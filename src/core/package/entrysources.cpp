#include "entrysources.h"

#include "entryreader.h"
#include "inputfile.h"
#include "paralleldeflate.h"
#include "zipfailure.h"

#include <cstring>
#include <ctime>

namespace {

using F = PackageFailure;

constexpr quint64 zip64Offset = 0xffffffff;
constexpr quint16 zip64VersionNeeded = 45;
// Past this size a deflated item may come out over 4 GiB; libzip then needs
// to be told nothing of its size up front, so that it writes ZIP64 fields.
constexpr quint64 mayNeedZip64 = 0xffffffffull - 0xffffffffull / 1000 - (1 << 20);

} // namespace

zip_int64_t ItemSource::callback(void *state, void *data, zip_uint64_t length,
                                 zip_source_cmd_t command)
{
    auto *self = static_cast<ItemSource *>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        self->run->control->setCurrentItem(self->index);
        return self->openData() ? 0 : self->failed();
    case ZIP_SOURCE_READ:
        if (self->run->control->isCancelRequested()) {
            self->run->fail(cancelledRun());
            return self->failed();
        }
        return self->readData(static_cast<char *>(data), length);
    case ZIP_SOURCE_CLOSE:
        self->closeData();
        return 0;
    case ZIP_SOURCE_STAT: {
        // libzip asks just before it writes the entry's local header.
        self->headerOffset = self->run->archive->position();
        auto *st = static_cast<zip_stat_t *>(data);
        zip_stat_init(st);
        self->fillStat(st);
        return sizeof(*st);
    }
    case ZIP_SOURCE_GET_FILE_ATTRIBUTES: {
        // A header past 4 GiB makes the central entry ZIP64, which needs
        // version 4.5; the local header is to say the same.
        auto *attributes = static_cast<zip_file_attributes_t *>(data);
        if (self->headerOffset >= zip64Offset) {
            attributes->valid |= ZIP_FILE_ATTRIBUTES_VERSION_NEEDED;
            attributes->version_needed = zip64VersionNeeded;
        }
        return 0;
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&self->error, data, length);
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              ZIP_SOURCE_GET_FILE_ATTRIBUTES, -1);
    default:
        zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

namespace {

// A plain item: a regular file, opened before the archive is started. With
// more than one job it is deflated here, on a pool of threads, and handed
// to libzip as deflated data; with one, libzip deflates it.
class FileSource : public ItemSource
{
public:
    FileSource(WriteRun *run, int index, const QString &path)
        : ItemSource(run, index)
        , path(path)
    {
    }
    ~FileSource() override
    {
        deflater.reset(); // its reader thread reads the file
    }

    PackageFailure prepare()
    {
        FileError error;
        file = InputFile::open(path, &error);
        return file ? PackageFailure() : writeFailure(reasonForReadError(error), path);
    }
    quint64 workBytes() const override { return file->size(); }
    bool isCompressed() const override { return run->jobs > 1; }
    quint32 permissions() const override { return file->stamp().permissions; }
    DosTime modified() const override { return DosTime::fromUnix(file->stamp().modifiedSeconds()); }
    bool utcModified(qint64 *seconds) const override
    {
        *seconds = file->stamp().modifiedSeconds();
        return true;
    }

protected:
    bool openData() override
    {
        deflater.reset();
        zip_stat_init(&deflated);
        done = 0;
        verified = false;
        if (isCompressed())
            deflater = std::make_unique<ParallelDeflate>(
                [this](char *data, qint64 length) { return readPlain(data, length); }, run->jobs,
                deflateLevel, ParallelDeflate::defaultBlockSize, run->control);
        return true;
    }

    zip_int64_t readData(char *data, zip_uint64_t length) override
    {
        if (!deflater) {
            const qint64 got = readPlain(data, qint64(length));
            return got < 0 ? failed() : got;
        }
        const qint64 got = deflater->read(data, qint64(length));
        if (got == 0) { // libzip closes the source before it asks for these
            deflated.valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC;
            deflated.size = deflater->inputSize();
            deflated.comp_size = deflater->outputSize();
            deflated.crc = deflater->crc();
        }
        if (got >= 0)
            return got;
        if (deflater->state() == ParallelDeflate::State::Cancelled)
            return fail(cancelledRun());
        // A failed read said why already.
        return fail(writeFailure(F::WriteError, path, QStringLiteral("压缩失败")));
    }

    void closeData() override { deflater.reset(); }

    void fillStat(zip_stat_t *st) const override
    {
        st->valid = ZIP_STAT_MTIME;
        st->mtime = time_t(file->stamp().modifiedSeconds());
        const quint64 size = file->size();
        if (!isCompressed() || size < mayNeedZip64) {
            st->valid |= ZIP_STAT_SIZE;
            st->size = size;
        }
        if (isCompressed()) {
            st->valid |= ZIP_STAT_COMP_METHOD | deflated.valid;
            st->comp_method = ZIP_CM_DEFLATE;
            st->size = deflated.valid ? deflated.size : st->size;
            st->comp_size = deflated.comp_size;
            st->crc = deflated.crc;
        }
    }

private:
    // The file's bytes, read once; -1 when that fails or the file changes.
    qint64 readPlain(char *data, qint64 length)
    {
        const qint64 left = qint64(file->size()) - done;
        if (left == 0)
            return verifiedUnchanged() ? 0 : -1;
        const qint64 count = qMin(length, left);
        if (!file->readAt(quint64(done), data, quint64(count))) {
            const FileError error = file->lastError();
            // Nothing to read where there was: the file was cut short.
            run->fail(error.failed() ? writeFailure(F::ReadError, path, error.words)
                                     : writeFailure(F::ModifiedWhilePacking, path));
            return -1;
        }
        done += count;
        run->control->advance(count);
        if (done == qint64(file->size()) && !verifiedUnchanged())
            return -1;
        return count;
    }

    // A file still being written grows, or at least gets a new change time,
    // while it is read (a copy that puts the modification time back too);
    // what was read is then a snapshot of no version of the file.
    bool verifiedUnchanged()
    {
        if (verified)
            return true;
        if (!file->unchanged()) {
            run->fail(writeFailure(F::ModifiedWhilePacking, path));
            return false;
        }
        verified = true;
        return true;
    }

    QString path;
    std::unique_ptr<InputFile> file;
    qint64 done = 0;
    bool verified = false;
    std::unique_ptr<ParallelDeflate> deflater;
    zip_stat_t deflated {}; // what the deflater made, once it is done
};

// A copied entry keeps the UTC time its own extended-timestamp or NTFS field
// gave; without one, only its local DOS time is known.
bool entryUtcModified(const PackageItem &item, qint64 *seconds)
{
    *seconds = item.entry.utcModified;
    return item.entry.hasUtcModified;
}

// A deflated entry of a combined package, copied as it is stored. It is
// checked beside the copy, on a thread of its own, by reading it from the
// package as `inspect` does; the archive is put in place only when every
// check has passed.
class RawCopySource : public ItemSource
{
public:
    RawCopySource(WriteRun *run, int index, const PackageItem &item)
        : ItemSource(run, index)
        , item(item)
    {
    }
    quint64 workBytes() const override { return item.entry.compressedSize; }
    bool isCompressed() const override { return true; }
    quint32 permissions() const override { return item.entry.permissions(); }
    DosTime modified() const override { return {item.entry.dosTime, item.entry.dosDate}; }
    bool utcModified(qint64 *seconds) const override { return entryUtcModified(item, seconds); }

protected:
    bool openData() override
    {
        done = bufferEnd = buffered = 0;
        if (!buffer) // sized for the entry: a package may hold many small ones
            buffer.reset(new char[qBound<quint64>(1, item.entry.compressedSize, readPiece)]);
        return true;
    }

    // libzip asks for a few KiB at a time; the package is read a MiB at a time.
    zip_int64_t readData(char *data, zip_uint64_t length) override
    {
        if (run->checks->failed())
            return failed(); // the check's failure is the run's
        if (buffered == 0 && !refill())
            return -1;
        const quint64 count = qMin<quint64>(length, buffered);
        std::memcpy(data, buffer.get() + (bufferEnd - buffered), count);
        buffered -= count;
        run->control->advance(qint64(count));
        return zip_int64_t(count);
    }

    void fillStat(zip_stat_t *st) const override
    {
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC;
        st->size = item.entry.size;
        st->comp_size = item.entry.compressedSize;
        st->comp_method = ZIP_CM_DEFLATE;
        st->crc = item.entry.crc;
    }

private:
    static constexpr quint64 readPiece = 1 << 20;

    // The next piece of the entry's stored bytes; false when reading fails.
    bool refill()
    {
        const quint64 count = qMin(readPiece, item.entry.compressedSize - done);
        if (count == 0)
            return true;
        const ByteSource &source = *item.packageSource;
        if (!source.readAt(item.entry.dataOffset + done, buffer.get(), count)) {
            fail(source.lastError().failed()
                     ? writeFailure(F::ReadError, item.packagePath, source.lastError().words)
                     : writeFailure(F::PackageChanged, item.packagePath));
            return false;
        }
        done += count;
        bufferEnd = buffered = count;
        return true;
    }

    PackageItem item;
    quint64 done = 0; // of the stored bytes, read from the package
    std::unique_ptr<char[]> buffer;
    quint64 bufferEnd = 0; // bytes in buffer
    quint64 buffered = 0; // of them, not yet handed to libzip
};

// An entry of a combined package that is not deflated: read uncompressed, as
// `inspect` reads it, checked on the way, and deflated again. Nothing of it
// stays in the archive unless all of it was as the entry declares.
class EntrySource : public ItemSource
{
public:
    EntrySource(WriteRun *run, int index, const PackageItem &item)
        : ItemSource(run, index)
        , item(item)
        , reader(item.packageSource, item.entry)
    {
    }
    quint64 workBytes() const override { return reader.bytesToDeliver(); }
    quint32 permissions() const override { return item.entry.permissions(); }
    DosTime modified() const override { return {item.entry.dosTime, item.entry.dosDate}; }
    bool utcModified(qint64 *seconds) const override { return entryUtcModified(item, seconds); }

protected:
    bool openData() override
    {
        if (reader.open())
            return true;
        fail(asWriteFailure(refusalFor(reader.failure(), item.packagePath)));
        return false;
    }

    zip_int64_t readData(char *data, zip_uint64_t length) override
    {
        const qint64 got = reader.read(data, length);
        if (got < 0)
            return fail(asWriteFailure(refusalFor(reader.failure(), item.packagePath)));
        run->control->advance(got);
        return got;
    }

    void fillStat(zip_stat_t *st) const override
    {
        st->valid = ZIP_STAT_SIZE;
        st->size = item.entry.size;
    }

private:
    static PackageFailure asWriteFailure(PackageFailure f)
    {
        f.kind = F::WriteFailed;
        return f;
    }

    PackageItem item;
    EntryReader reader;
};

// The manifest, from memory.
class ManifestSource : public ItemSource
{
public:
    ManifestSource(WriteRun *run, int index, const QByteArray &bytes, qint64 modified)
        : ItemSource(run, index)
        , bytes(bytes)
        , now(modified)
    {
    }
    quint64 workBytes() const override { return 0; }
    quint32 permissions() const override { return 0644; }
    DosTime modified() const override { return DosTime::fromUnix(now); }
    bool utcModified(qint64 *seconds) const override
    {
        *seconds = now;
        return true;
    }

protected:
    bool openData() override
    {
        done = 0;
        return true;
    }
    zip_int64_t readData(char *data, zip_uint64_t length) override
    {
        const int count = int(qMin<zip_uint64_t>(length, zip_uint64_t(bytes.size() - done)));
        std::memcpy(data, bytes.constData() + done, size_t(count));
        done += count;
        return count;
    }
    void fillStat(zip_stat_t *st) const override
    {
        st->valid = ZIP_STAT_SIZE;
        st->size = zip_uint64_t(bytes.size());
    }

private:
    QByteArray bytes;
    qint64 now;
    int done = 0;
};

} // namespace

std::unique_ptr<ItemSource> fileSource(WriteRun *run, int index, const QString &path,
                                       PackageFailure *opened)
{
    auto source = std::make_unique<FileSource>(run, index, path);
    *opened = source->prepare();
    return source;
}

std::unique_ptr<ItemSource> rawCopySource(WriteRun *run, int index, const PackageItem &item)
{
    return std::make_unique<RawCopySource>(run, index, item);
}

std::unique_ptr<ItemSource> reencodedSource(WriteRun *run, int index, const PackageItem &item)
{
    return std::make_unique<EntrySource>(run, index, item);
}

std::unique_ptr<ItemSource> manifestSource(WriteRun *run, int index, const QByteArray &bytes,
                                           qint64 modified)
{
    return std::make_unique<ManifestSource>(run, index, bytes, modified);
}
