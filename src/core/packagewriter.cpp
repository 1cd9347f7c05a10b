#include "packagewriter.h"

#include "packagemanifest.h"
#include "ziparchive.h"

#include <QDir>
#include <QFileInfo>

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

using F = PackageFailure;

constexpr int deflateLevel = 6;
constexpr quint32 regularFileType = 0100000;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What all sources of one write share: the watcher, and the first failure a
// source met, which is what the run reports.
struct WriteRun
{
    RunControl *control;
    PackageFailure failure;

    void fail(const PackageFailure &f)
    {
        if (!failure.failed())
            failure = f;
    }
};

// An item's bytes as libzip pulls them while it writes the archive.
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
    virtual qint64 workBytes() const = 0;
    virtual bool isCompressed() const { return false; }

    static zip_int64_t callback(void *state, void *data, zip_uint64_t length,
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
            auto *st = static_cast<zip_stat_t *>(data);
            zip_stat_init(st);
            self->fillStat(st);
            return sizeof(*st);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&self->error, data, length);
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

protected:
    virtual bool openData() = 0;
    virtual zip_int64_t readData(char *data, zip_uint64_t length) = 0;
    virtual void closeData() = 0;
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
};

// A plain item: a regular file, opened before the archive is started.
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
        if (fd >= 0)
            ::close(fd);
    }

    PackageFailure prepare()
    {
        F::Reason reason = F::NoReason;
        fd = openRegularFile(path, &before, &reason);
        return fd < 0 ? writeFailure(reason, path) : PackageFailure();
    }
    qint64 workBytes() const override { return before.st_size; }
    quint32 permissions() const { return before.st_mode & 0777; }
    time_t modified() const { return before.st_mtime; }

protected:
    bool openData() override
    {
        done = 0;
        verified = false;
        if (::lseek(fd, 0, SEEK_SET) == 0)
            return true;
        fail(writeFailure(F::ReadError, path, systemError(errno)));
        return false;
    }

    zip_int64_t readData(char *data, zip_uint64_t length) override
    {
        const qint64 left = before.st_size - done;
        if (left == 0)
            return verifiedUnchanged() ? 0 : -1;
        const ssize_t got
            = ::read(fd, data, size_t(qMin<zip_uint64_t>(length, zip_uint64_t(left))));
        if (got < 0)
            return fail(writeFailure(F::ReadError, path, systemError(errno)));
        if (got == 0) // shorter than when it was opened
            return fail(writeFailure(F::ModifiedWhilePacking, path));
        done += got;
        run->control->advance(got);
        if (done == before.st_size && !verifiedUnchanged())
            return -1;
        return got;
    }

    void closeData() override { }

    void fillStat(zip_stat_t *st) const override
    {
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        st->size = zip_uint64_t(before.st_size);
        st->mtime = before.st_mtime;
    }

private:
    // A file still being written grows, or at least gets a new time, while it
    // is read; what was read is then a snapshot of no version of the file.
    bool verifiedUnchanged()
    {
        if (verified)
            return true;
        struct stat after
        {
        };
        char extra;
        const bool unchanged = ::pread(fd, &extra, 1, before.st_size) == 0
            && ::fstat(fd, &after) == 0 && after.st_size == before.st_size
            && after.st_mtim.tv_sec == before.st_mtim.tv_sec
            && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
        if (!unchanged) {
            fail(writeFailure(F::ModifiedWhilePacking, path));
            return false;
        }
        verified = true;
        return true;
    }

    QString path;
    int fd = -1;
    struct stat before
    {
    };
    qint64 done = 0;
    bool verified = false;
};

// An entry of a combined package.
class EntrySource : public ItemSource
{
public:
    EntrySource(WriteRun *run, int index, zip_t *package, const PackageItem &item)
        : ItemSource(run, index)
        , package(package)
        , item(item)
    {
    }
    ~EntrySource() override { closeData(); }

protected:
    zip_int64_t corrupt()
    {
        return fail(writeFailure(F::EntryCorrupt, item.packagePath, item.name));
    }
    bool openEntry(zip_flags_t flags)
    {
        closeData();
        file = zip_fopen_index(package, zip_uint64_t(item.entryIndex), flags);
        if (file)
            return true;
        corrupt();
        return false;
    }
    void closeData() override
    {
        if (file)
            zip_fclose(file);
        file = nullptr;
    }

    zip_t *package;
    PackageItem item;
    zip_file_t *file = nullptr;
};

// A deflated entry, copied as it is stored. Its data is inflated on the way
// only to check the CRC-32 and size, which libzip does not do for raw copies.
class RawEntrySource : public EntrySource
{
public:
    using EntrySource::EntrySource;
    ~RawEntrySource() override { endInflate(); }
    qint64 workBytes() const override { return qint64(item.compressedSize); }
    bool isCompressed() const override { return true; }

protected:
    bool openData() override
    {
        endInflate();
        if (!openEntry(ZIP_FL_COMPRESSED))
            return false;
        stream = z_stream();
        inflating = inflateInit2(&stream, -MAX_WBITS) == Z_OK;
        crc = crc32(0, nullptr, 0);
        rawDone = inflated = 0;
        ended = verified = false;
        if (inflating)
            return true;
        corrupt();
        return false;
    }

    zip_int64_t readData(char *data, zip_uint64_t length) override
    {
        const quint64 left = item.compressedSize - rawDone;
        if (left == 0)
            return verified || verify() ? 0 : corrupt();
        const zip_int64_t got = zip_fread(file, data, qMin<zip_uint64_t>(length, left));
        if (got <= 0 || !check(data, got))
            return corrupt();
        rawDone += quint64(got);
        run->control->advance(got);
        if (rawDone == item.compressedSize && !verify())
            return corrupt();
        return got;
    }

    void fillStat(zip_stat_t *st) const override
    {
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC
            | ZIP_STAT_MTIME;
        st->size = item.size;
        st->comp_size = item.compressedSize;
        st->comp_method = ZIP_CM_DEFLATE;
        st->crc = item.crc;
        st->mtime = time_t(item.modified);
    }

private:
    bool check(const char *data, zip_int64_t length)
    {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        stream.avail_in = uInt(length);
        while (stream.avail_in > 0 && !ended) {
            stream.next_out = scratch;
            stream.avail_out = sizeof(scratch);
            const int result = inflate(&stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END)
                return false;
            const uInt produced = uInt(sizeof(scratch)) - stream.avail_out;
            crc = crc32(crc, scratch, produced);
            inflated += produced;
            // More than the entry claims: corrupt, or a bomb not worth inflating.
            if (inflated > item.size)
                return false;
            ended = result == Z_STREAM_END;
            if (result == Z_OK && produced == 0 && stream.avail_in > 0)
                return false;
        }
        return true;
    }
    bool verify()
    {
        verified = ended && crc == item.crc && inflated == item.size;
        return verified;
    }
    void endInflate()
    {
        if (inflating)
            inflateEnd(&stream);
        inflating = false;
    }

    z_stream stream {};
    bool inflating = false;
    bool ended = false;
    bool verified = false;
    uLong crc = 0;
    quint64 rawDone = 0;
    quint64 inflated = 0;
    Bytef scratch[1 << 16];
};

// An entry stored or compressed otherwise: read inflated, which checks its
// CRC-32 at the end, and deflated again like a plain item.
class InflatedEntrySource : public EntrySource
{
public:
    using EntrySource::EntrySource;
    qint64 workBytes() const override { return qint64(item.size); }

protected:
    bool openData() override
    {
        done = 0;
        return openEntry(0);
    }

    zip_int64_t readData(char *data, zip_uint64_t length) override
    {
        const quint64 left = item.size - done;
        char probe;
        if (left == 0) // the read past the end is where libzip checks the CRC
            return zip_fread(file, &probe, 1) == 0 ? 0 : corrupt();
        const zip_int64_t got = zip_fread(file, data, qMin<zip_uint64_t>(length, left));
        if (got <= 0)
            return corrupt();
        done += quint64(got);
        run->control->advance(got);
        if (done == item.size && zip_fread(file, &probe, 1) != 0)
            return corrupt();
        return got;
    }

    void fillStat(zip_stat_t *st) const override
    {
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        st->size = item.size;
        st->mtime = time_t(item.modified);
    }

private:
    quint64 done = 0;
};

// The combined packages the items come from, each opened and screened once,
// with every entry to copy checked against what screening saw.
class PackageSet
{
public:
    PackageFailure find(const PackageItem &item, zip_t **handle)
    {
        std::unique_ptr<ZipArchive> &archive = archives[item.packagePath];
        if (!archive) {
            archive = std::make_unique<ZipArchive>();
            const PackageFailure opened = archive->open(item.packagePath);
            if (opened.failed()) {
                archive.reset();
                return writeFailure(opened.reason, item.packagePath, opened.detail);
            }
        }
        zip_stat_t st;
        const char *raw
            = zip_get_name(archive->handle(), zip_uint64_t(item.entryIndex), ZIP_FL_ENC_RAW);
        if (!raw || zip_stat_index(archive->handle(), zip_uint64_t(item.entryIndex), 0, &st) != 0
            || foldedEntryName(decodeForeignText(raw)) != foldedEntryName(item.name)
            || st.crc != item.crc || st.size != item.size || st.comp_size != item.compressedSize
            || st.comp_method != item.method)
            return writeFailure(F::PackageChanged, item.packagePath);
        *handle = archive->handle();
        return PackageFailure();
    }

private:
    std::map<QString, std::unique_ptr<ZipArchive>> archives;
};

PackageFailure archiveFailure(zip_error_t *error, const QString &archivePath)
{
    const QString folder = QFileInfo(archivePath).absolutePath();
    const int system = zip_error_code_system(error);
    if (zip_error_system_type(error) == ZIP_ET_SYS && system != 0) {
        const F::Reason reason = reasonForWriteError(system);
        if (reason != F::WriteError)
            return writeFailure(reason, folder);
        return writeFailure(reason, archivePath, systemError(system));
    }
    return writeFailure(F::WriteError, archivePath, QString::fromUtf8(zip_error_strerror(error)));
}

bool addEntry(zip_t *zip, const QString &name, zip_source_t *source, bool compressed,
              quint32 permissions, time_t modified)
{
    const zip_int64_t index
        = zip_file_add(zip, name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        return false;
    }
    const auto at = zip_uint64_t(index);
    // A source that is deflated already is copied as it stands.
    return zip_set_file_compression(zip, at, ZIP_CM_DEFLATE, compressed ? 0 : deflateLevel) == 0
        && zip_file_set_mtime(zip, at, modified, 0) == 0
        && zip_file_set_external_attributes(zip, at, 0, ZIP_OPSYS_UNIX,
                                            (regularFileType | permissions) << 16)
        == 0;
}

} // namespace

PackageFailure writePackage(const QString &archivePath, const PackageItems &items,
                            RunControl *control)
{
    WriteRun run {control, {}};
    PackageSet packages;
    std::vector<std::unique_ptr<ItemSource>> sources;
    std::vector<std::pair<quint32, time_t>> entryFacts;
    qint64 total = 0;
    for (const PackageItem &item : items) {
        const int index = int(sources.size());
        if (item.isPackageEntry()) {
            zip_t *package = nullptr;
            const PackageFailure found = packages.find(item, &package);
            if (found.failed())
                return found;
            if (item.method == ZIP_CM_DEFLATE)
                sources.push_back(std::make_unique<RawEntrySource>(&run, index, package, item));
            else
                sources.push_back(
                    std::make_unique<InflatedEntrySource>(&run, index, package, item));
            entryFacts.emplace_back(item.permissions & 0777, time_t(item.modified));
        } else {
            auto file = std::make_unique<FileSource>(&run, index, item.filePath);
            const PackageFailure opened = file->prepare();
            if (opened.failed())
                return opened;
            entryFacts.emplace_back(file->permissions(), file->modified());
            sources.push_back(std::move(file));
        }
        total += sources.back()->workBytes();
    }
    control->begin(total);
    if (control->isCancelRequested())
        return cancelledRun();

    const QString folder = QFileInfo(archivePath).absolutePath();
    if (!QDir().mkpath(folder)) {
        const int error = errno;
        return writeFailure(reasonForWriteError(error), folder, systemError(error));
    }
    int openError = 0;
    zip_t *zip = zip_open(QFile::encodeName(archivePath).constData(), ZIP_CREATE | ZIP_TRUNCATE,
                          &openError);
    if (!zip) {
        zip_error_t error;
        zip_error_init_with_code(&error, openError);
        const PackageFailure failure = archiveFailure(&error, archivePath);
        zip_error_fini(&error);
        return failure;
    }

    const QByteArray manifest = manifestBytes(items);
    bool added = true;
    int index = 0;
    for (auto it = items.cbegin(); added && it != items.cend(); ++it, ++index) {
        ItemSource *source = sources[size_t(index)].get();
        zip_source_t *zs = zip_source_function(zip, &ItemSource::callback, source);
        added = zs
            && addEntry(zip, it.value().name, zs, source->isCompressed(),
                        entryFacts[size_t(index)].first, entryFacts[size_t(index)].second);
    }
    if (added) {
        zip_source_t *zs
            = zip_source_buffer(zip, manifest.constData(), zip_uint64_t(manifest.size()), 0);
        added = zs && addEntry(zip, manifestFileName, zs, false, 0644, std::time(nullptr));
    }
    if (added && zip_close(zip) == 0)
        return PackageFailure();

    // Nothing was renamed into place; discarding drops the temporary file.
    PackageFailure failure
        = run.failure.failed() ? run.failure : archiveFailure(zip_get_error(zip), archivePath);
    zip_discard(zip);
    return failure;
}
