#include "packagewriter.h"

#include "archivefile.h"
#include "entrychecks.h"
#include "entryreader.h"
#include "paralleldeflate.h"
#include "packagemanifest.h"
#include "regularfile.h"
#include "zipcontainer.h"

#include <QFileInfo>
#include <QThread>

#include <csignal>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

using F = PackageFailure;

constexpr int deflateLevel = 6;
constexpr quint32 regularFileType = 0100000;
constexpr quint64 zip64Offset = 0xffffffff;
constexpr quint16 zip64VersionNeeded = 45;
// Past this size a deflated item may come out over 4 GiB; libzip then needs
// to be told nothing of its size up front, so that it writes ZIP64 fields.
constexpr quint64 mayNeedZip64 = 0xffffffffull - 0xffffffffull / 1000 - (1 << 20);

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// An entry's date and time as a ZIP header holds them: local time, two
// seconds apart, from 1980 to 2107.
struct DosTime
{
    quint16 time = 0;
    quint16 date = (1 << 5) | 1; // 1980-01-01

    static DosTime fromUnix(time_t seconds)
    {
        struct tm local
        {
        };
        DosTime dos;
        if (!::localtime_r(&seconds, &local) || local.tm_year < 80)
            return dos; // before 1980: the earliest time there is, not 1980 with this month
        if (local.tm_year > 207)
            return {quint16(23 << 11 | 59 << 5 | 29), quint16(127 << 9 | 12 << 5 | 31)};
        dos.time = quint16(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
        dos.date = quint16((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
        return dos;
    }
};

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
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_GET_FILE_ATTRIBUTES, -1);
        default:
            zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

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
        if (fd >= 0)
            ::close(fd);
    }

    PackageFailure prepare()
    {
        F::Reason reason = F::NoReason;
        fd = openRegularFile(path, &before, &reason);
        return fd < 0 ? writeFailure(reason, path) : PackageFailure();
    }
    quint64 workBytes() const override { return quint64(before.st_size); }
    bool isCompressed() const override { return run->jobs > 1; }
    quint32 permissions() const override { return before.st_mode & 0777; }
    DosTime modified() const override { return DosTime::fromUnix(before.st_mtime); }

protected:
    bool openData() override
    {
        deflater.reset();
        zip_stat_init(&deflated);
        done = 0;
        verified = false;
        if (::lseek(fd, 0, SEEK_SET) != 0) {
            run->fail(writeFailure(F::ReadError, path, systemError(errno)));
            return false;
        }
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
        st->mtime = before.st_mtime;
        const quint64 size = quint64(before.st_size);
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
        const qint64 left = before.st_size - done;
        if (left == 0)
            return verifiedUnchanged() ? 0 : -1;
        const ssize_t got = ::read(fd, data, size_t(qMin(length, left)));
        if (got < 0) {
            run->fail(writeFailure(F::ReadError, path, systemError(errno)));
            return -1;
        }
        if (got == 0) { // shorter than when it was opened
            run->fail(writeFailure(F::ModifiedWhilePacking, path));
            return -1;
        }
        done += got;
        run->control->advance(got);
        if (done == before.st_size && !verifiedUnchanged())
            return -1;
        return got;
    }

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
            run->fail(writeFailure(F::ModifiedWhilePacking, path));
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
    std::unique_ptr<ParallelDeflate> deflater;
    zip_stat_t deflated {}; // what the deflater made, once it is done
};

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
            fail(source.systemError() != 0 ? writeFailure(F::ReadError, item.packagePath,
                                                          systemError(source.systemError()))
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
    quint64 buffered = 0;  // of them, not yet handed to libzip
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
        , reader(item.packageSource, item.packagePath, item.entry)
    {
    }
    quint64 workBytes() const override { return reader.bytesToDeliver(); }
    quint32 permissions() const override { return item.entry.permissions(); }
    DosTime modified() const override { return {item.entry.dosTime, item.entry.dosDate}; }

protected:
    bool openData() override
    {
        if (reader.open())
            return true;
        fail(asWriteFailure(reader.failure()));
        return false;
    }

    zip_int64_t readData(char *data, zip_uint64_t length) override
    {
        const qint64 got = reader.read(data, length);
        if (got < 0)
            return fail(asWriteFailure(reader.failure()));
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
    ManifestSource(WriteRun *run, int index, const QByteArray &bytes)
        : ItemSource(run, index)
        , bytes(bytes)
        , written(DosTime::fromUnix(std::time(nullptr)))
    {
    }
    quint64 workBytes() const override { return 0; }
    quint32 permissions() const override { return 0644; }
    DosTime modified() const override { return written; }

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
    DosTime written;
    int done = 0;
};

PackageFailure libzipFailure(zip_error_t *error, const QString &archivePath)
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

bool addEntry(zip_t *zip, const QString &name, ItemSource *source)
{
    const QByteArray utf8 = name.toUtf8();
    // libzip keeps a name's length in 16 bits and would cut a longer one.
    if (utf8.size() > 0xffff)
        return false;
    zip_source_t *zs = zip_source_function(zip, &ItemSource::callback, source);
    if (!zs)
        return false;
    const zip_int64_t index = zip_file_add(zip, utf8.constData(), zs, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(zs);
        return false;
    }
    const auto at = zip_uint64_t(index);
    // A source that is deflated already is copied as it stands.
    return zip_set_file_compression(zip, at, ZIP_CM_DEFLATE,
                                    source->isCompressed() ? 0 : deflateLevel)
        == 0
        && zip_file_set_external_attributes(zip, at, 0, ZIP_OPSYS_UNIX,
                                            (regularFileType | source->permissions()) << 16)
        == 0;
}

// A file we own, read back through the same reader that screens packages.
class DescriptorByteSource : public ByteSource
{
public:
    explicit DescriptorByteSource(int fd)
        : fd(fd)
    {
        struct stat info;
        length = ::fstat(fd, &info) == 0 ? quint64(info.st_size) : 0;
    }
    quint64 size() const override { return length; }
    bool readAt(quint64 offset, char *data, quint64 count) const override
    {
        return offset <= length && count <= length - offset
            && ::pread(fd, data, size_t(count), off_t(offset)) == ssize_t(count);
    }

private:
    int fd;
    quint64 length;
};

bool writeDosTime(int fd, quint64 offset, const DosTime &dos)
{
    const unsigned char bytes[4]
        = {quint8(dos.time), quint8(dos.time >> 8), quint8(dos.date), quint8(dos.date >> 8)};
    return ::pwrite(fd, bytes, 4, off_t(offset)) == 4;
}

// libzip takes entry times through the local time zone, which moves a time
// that falls into a daylight-saving gap by an hour; each header gets the
// date and time the entry is to carry, as the ZIP format stores them. The
// archive is read back for that with the same reader that screens packages,
// so a package that reader would refuse is never put in place.
PackageFailure finishHeaders(ArchiveFile *archive, const QString &archivePath,
                             const std::vector<std::unique_ptr<ItemSource>> &sources)
{
    const DescriptorByteSource written(archive->descriptor());
    ZipContainer container;
    const PackageFailure read = readZipContainer(written, archivePath, &container);
    if (read.failed() || container.entries.size() != int(sources.size()))
        return writeFailure(F::WriteError, archivePath, QStringLiteral("写入的升级包无法读回"));
    for (int i = 0; i < container.entries.size(); ++i) {
        const ZipEntry &entry = container.entries.at(i);
        const DosTime wanted = sources.at(size_t(i))->modified();
        if (entry.dosTime == wanted.time && entry.dosDate == wanted.date)
            continue;
        if (!writeDosTime(archive->descriptor(), entry.headerOffset + 10, wanted)
            || !writeDosTime(archive->descriptor(), entry.centralOffset + 12, wanted))
            return writeFailure(reasonForWriteError(errno), archivePath, systemError(errno));
    }
    return PackageFailure();
}

void ignoreFileSizeSignal()
{
    // Past a file-size limit (ulimit -f) a write is to fail with EFBIG, which
    // says why, rather than kill the process and leave no word.
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

quint64 saturatingAdd(quint64 a, quint64 b)
{
    return b > std::numeric_limits<qint64>::max() - a ? std::numeric_limits<qint64>::max() : a + b;
}

} // namespace

PackageFailure writePackage(const QString &archivePath, const PackageItems &items,
                            RunControl *control, int jobs)
{
    ignoreFileSizeSignal();
    ArchiveFile archive(archivePath);
    EntryChecks checks(control);
    WriteRun run(control, &archive, &checks, jobs > 0 ? jobs : QThread::idealThreadCount());
    std::vector<std::unique_ptr<ItemSource>> sources;
    std::vector<const PackageItem *> fromPackages;
    quint64 total = 0;
    for (const PackageItem &item : items) {
        const int index = int(sources.size());
        if (item.isPackageEntry()) {
            if (!item.packageSource->unchanged())
                return writeFailure(F::PackageChanged, item.packagePath);
            fromPackages.push_back(&item);
            if (item.entry.method == EntryReader::methodDeflate) {
                checks.add(item.packageSource, item.packagePath, item.entry);
                sources.push_back(std::make_unique<RawCopySource>(&run, index, item));
                total = saturatingAdd(total, item.entry.compressedSize); // the check reads it too
            } else {
                sources.push_back(std::make_unique<EntrySource>(&run, index, item));
            }
        } else {
            auto file = std::make_unique<FileSource>(&run, index, item.filePath);
            const PackageFailure opened = file->prepare();
            if (opened.failed())
                return opened;
            sources.push_back(std::move(file));
        }
        total = saturatingAdd(total, sources.back()->workBytes());
    }
    sources.push_back(
        std::make_unique<ManifestSource>(&run, int(sources.size()), manifestBytes(items)));
    control->begin(qint64(total));
    if (control->isCancelRequested())
        return cancelledRun();

    const PackageFailure created = archive.create();
    if (created.failed())
        return created;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *target = archive.writeSource(&error);
    zip_t *zip = target ? zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
    if (!zip) {
        if (target)
            zip_source_free(target);
        const PackageFailure failure = libzipFailure(&error, archivePath);
        zip_error_fini(&error);
        return failure;
    }
    zip_error_fini(&error);

    bool added = true;
    int index = 0;
    for (auto it = items.cbegin(); added && it != items.cend(); ++it, ++index)
        added = addEntry(zip, it.value().name, sources.at(size_t(index)).get());
    added = added && addEntry(zip, manifestFileName, sources.back().get());
    checks.start(run.jobs);
    const bool closed = added && zip_close(zip) == 0;
    const bool checkFailedFirst = checks.failed();
    if (!closed)
        checks.stop();
    // Nothing is put in place before every copied entry proved intact.
    PackageFailure failure = checks.wait();
    if (failure.failed() && failure.kind != F::Cancelled)
        failure.kind = F::WriteFailed;
    if (!closed) {
        if (!checkFailedFirst) {
            failure = run.firstFailure();
            if (!failure.failed())
                failure = libzipFailure(zip_get_error(zip), archivePath);
        }
        zip_discard(zip);
        return failure;
    }
    // Checked and copied are the same bytes only if the package stayed as
    // it was meanwhile.
    for (const PackageItem *item : fromPackages) {
        if (!failure.failed() && !item->packageSource->unchanged())
            failure = writeFailure(F::PackageChanged, item->packagePath);
    }
    if (!failure.failed())
        failure = finishHeaders(&archive, archivePath, sources);
    if (!failure.failed() && control->isCancelRequested())
        failure = cancelledRun();
    return failure.failed() ? failure : archive.commit();
}
