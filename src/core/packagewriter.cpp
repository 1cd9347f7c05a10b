#include "packagewriter.h"

#include "archivefile.h"
#include "archivesink.h"
#include "entrychecks.h"
#include "entryreader.h"
#include "inputfile.h"
#include "packagemanifest.h"
#include "paralleldeflate.h"
#include "system.h"
#include "zipcontainer.h"

#include <QFileInfo>
#include <QThread>

#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
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

// The extended-timestamp field ("UT"): the modification time in UTC, which
// readers apply in their own time zone; the DOS time beside it is local.
constexpr zip_uint16_t extendedTimestampId = 0x5455;

// An entry's date and time as a ZIP header holds them: local time, two
// seconds apart, from 1980 to 2107.
struct DosTime
{
    quint16 time = 0;
    quint16 date = (1 << 5) | 1; // 1980-01-01

    static DosTime fromUnix(qint64 seconds)
    {
        struct tm local
        {
        };
        DosTime dos;
        if (!localTimeOf(seconds, &local) || local.tm_year < 80)
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
    // The modification time in seconds since 1970 UTC, where it is known.
    virtual bool utcModified(qint64 *seconds) const = 0;

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
        , reader(item.packageSource, item.packagePath, item.entry)
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
        , now(std::time(nullptr))
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

// The file-size limit that stopped a write, as the user can act on it.
QString fileSizeLimitWords(const QString &folder)
{
    const FileSizeLimit limit = fileSizeLimitFor(folder);
    switch (limit.source) {
    case FileSizeLimit::Process:
        return QStringLiteral("本进程可写文件的大小上限为%1字节，见 ulimit -f")
            .arg(QString::number(limit.bytes));
    case FileSizeLimit::FileSystem:
        return QStringLiteral("生成升级包位置的文件系统是FAT32，单个文件不能超过4 GiB；"
                              "请改用exFAT或NTFS格式的U盘");
    case FileSizeLimit::Unknown:
        break;
    }
    return QStringLiteral("生成升级包位置的文件系统不允许更大的文件");
}

// A failed write in the words of its cause: a full disk or a file system
// that may not be written names the folder; a size limit names the archive
// and the limit.
PackageFailure archiveWriteFailure(const FileError &error, const QString &archivePath)
{
    const QString folder = QFileInfo(archivePath).absolutePath();
    const QString archive = QFileInfo(archivePath).absoluteFilePath();
    const F::Reason reason = reasonForWriteError(error);
    switch (reason) {
    case F::DiskFull:
    case F::NoWritePermission:
        return writeFailure(reason, folder);
    case F::ArchiveInUse:
        return writeFailure(reason, archive);
    case F::FileTooLarge:
        return writeFailure(reason, archive, fileSizeLimitWords(folder));
    default:
        return writeFailure(reason, archivePath, error.words);
    }
}

PackageFailure libzipFailure(zip_error_t *error, const ArchiveFile &archive,
                             const QString &archivePath)
{
    if (archive.error().failed())
        return archiveWriteFailure(archive.error(), archivePath);
    if (zip_error_system_type(error) == ZIP_ET_SYS && zip_error_code_system(error) != 0)
        return archiveWriteFailure(FileError::fromCode(zip_error_code_system(error)), archivePath);
    return writeFailure(F::WriteError, archivePath, QString::fromUtf8(zip_error_strerror(error)));
}

// Flag 1 (modification time present) and the time as 32 bits, in the local
// and the central header alike, as Info-ZIP's zip writes it.
bool setExtendedTimestamp(zip_t *zip, zip_uint64_t index, qint64 seconds)
{
    if (seconds < 0 || seconds > 0x7fffffff)
        return true; // beyond what the field holds: the DOS time alone
    const auto t = quint32(seconds);
    const zip_uint8_t field[5]
        = {1, zip_uint8_t(t), zip_uint8_t(t >> 8), zip_uint8_t(t >> 16), zip_uint8_t(t >> 24)};
    return zip_file_extra_field_set(zip, index, extendedTimestampId, ZIP_EXTRA_FIELD_NEW, field,
                                    sizeof(field), ZIP_FL_LOCAL | ZIP_FL_CENTRAL)
        == 0;
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
    qint64 utc = 0;
    // A source that is deflated already is copied as it stands.
    return zip_set_file_compression(zip, at, ZIP_CM_DEFLATE,
                                    source->isCompressed() ? 0 : deflateLevel)
        == 0
        && zip_file_set_external_attributes(zip, at, 0, ZIP_OPSYS_UNIX,
                                            (regularFileType | source->permissions()) << 16)
        == 0
        && (!source->utcModified(&utc) || setExtendedTimestamp(zip, at, utc));
}

// The archive being written, read back through the same reader that screens
// packages.
class WrittenBytes : public ByteSource
{
public:
    explicit WrittenBytes(const ArchiveFile &archive)
        : archive(archive)
    {
    }
    quint64 size() const override { return archive.size(); }
    bool readAt(quint64 offset, char *data, quint64 count) const override
    {
        return offset <= size() && count <= size() - offset && archive.readAt(offset, data, count);
    }

private:
    const ArchiveFile &archive;
};

bool writeDosTime(ArchiveFile *archive, quint64 offset, const DosTime &dos)
{
    const char bytes[4]
        = {char(dos.time), char(dos.time >> 8), char(dos.date), char(dos.date >> 8)};
    return archive->writeAt(offset, bytes, 4);
}

// libzip takes entry times through the local time zone, which moves a time
// that falls into a daylight-saving gap by an hour; each header gets the
// date and time the entry is to carry, as the ZIP format stores them. The
// archive is read back for that with the same reader that screens packages,
// so a package that reader would refuse is never put in place.
PackageFailure finishHeaders(ArchiveFile *archive, const QString &archivePath,
                             const std::vector<std::unique_ptr<ItemSource>> &sources)
{
    if (!archive->flush())
        return archiveWriteFailure(archive->error(), archivePath);
    const WrittenBytes written(*archive);
    ZipContainer container;
    const PackageFailure read = readZipContainer(written, archivePath, &container);
    if (read.failed() || container.entries.size() != int(sources.size()))
        return writeFailure(F::WriteError, archivePath, QStringLiteral("写入的升级包无法读回"));
    for (int i = 0; i < container.entries.size(); ++i) {
        const ZipEntry &entry = container.entries.at(i);
        const DosTime wanted = sources.at(size_t(i))->modified();
        if (entry.dosTime == wanted.time && entry.dosDate == wanted.date)
            continue;
        if (!writeDosTime(archive, entry.headerOffset + 10, wanted)
            || !writeDosTime(archive, entry.centralOffset + 12, wanted))
            return archiveWriteFailure(archive->error(), archivePath);
    }
    return PackageFailure();
}

// The complete archive is put at its name once nothing holds it back: not
// while the user is asked whether to cancel, and never over a file the user
// did not agree to replace. A file that came to the path during the run is
// asked about again where someone can answer, else it stays and the run
// fails.
PackageFailure putInPlace(ArchiveFile *archive, const QString &archivePath, RunControl *control,
                          const WriteOptions &options)
{
    FileIdentity replaceable = options.replaceable;
    for (;;) {
        if (!control->waitWhileHeld())
            return cancelledRun();
        const FileError error = archive->commit(replaceable);
        if (!error.failed())
            return PackageFailure();
        if (error.kind != FileError::Exists)
            return archiveWriteFailure(error, archivePath);
        const FileIdentity standing = FileIdentity::at(archive->committedPath());
        if (options.askBeforeReplacingOther && standing.exists && control->askToReplaceOther()) {
            replaceable = standing;
            continue;
        }
        if (control->isCancelRequested())
            return cancelledRun();
        PackageFailure f;
        f.kind = F::ArchiveExists;
        f.reason = F::ArchiveAppeared;
        f.path = archivePath;
        return f;
    }
}

quint64 saturatingAdd(quint64 a, quint64 b)
{
    return b > std::numeric_limits<qint64>::max() - a ? std::numeric_limits<qint64>::max() : a + b;
}

} // namespace

PackageFailure writePackage(const QString &archivePath, const PackageItems &items,
                            RunControl *control, const WriteOptions &options,
                            WrittenArchive *written)
{
    failWritesPastFileSizeLimit();
    ArchiveFile archive(archivePath);
    EntryChecks checks(control);
    WriteRun run(control, &archive, &checks,
                 options.jobs > 0 ? options.jobs : QThread::idealThreadCount());
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

    const FileError created = archive.create();
    if (created.failed())
        return archiveWriteFailure(created, archivePath);
    ArchiveSink sink(&archive);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *target = sink.source(&error);
    zip_t *zip = target ? zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
    if (!zip) {
        if (target)
            zip_source_free(target);
        const PackageFailure failure = libzipFailure(&error, archive, archivePath);
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
                failure = libzipFailure(zip_get_error(zip), archive, archivePath);
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
    if (!failure.failed())
        failure = putInPlace(&archive, archivePath, control, options);
    if (!failure.failed() && written) {
        written->path = archive.committedPath();
        written->size = archive.size();
        written->folderMoved
            = QFileInfo(written->path).absolutePath() != QFileInfo(archivePath).absolutePath();
    }
    return failure;
}
