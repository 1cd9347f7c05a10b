#include "packagewriter.h"

#include "archivefile.h"
#include "archivesink.h"
#include "entrychecks.h"
#include "entryreader.h"
#include "entrysources.h"
#include "headerpatch.h"
#include "packagemanifest.h"
#include "system.h"
#include "zipfailure.h"

#include <QFileInfo>
#include <QThread>

#include <ctime>
#include <memory>
#include <vector>

namespace {

using F = PackageFailure;

constexpr quint32 regularFileType = 0100000;

// The extended-timestamp field ("UT"): the modification time in UTC, which
// readers apply in their own time zone; the DOS time beside it is local.
constexpr zip_uint16_t extendedTimestampId = 0x5455;

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

// The DOS dates and times the sources' entries are to carry.
PackageFailure finishHeaders(ArchiveFile *archive, const QString &archivePath,
                             const std::vector<std::unique_ptr<ItemSource>> &sources)
{
    QList<DosTime> wanted;
    for (const auto &source : sources)
        wanted.append(source->modified());
    switch (setEntryTimes(archive, wanted)) {
    case TimesPatch::Done:
        return PackageFailure();
    case TimesPatch::Unreadable:
        return writeFailure(F::WriteError, archivePath, QStringLiteral("写入的升级包无法读回"));
    case TimesPatch::WriteFailed:
        break;
    }
    return archiveWriteFailure(archive->error(), archivePath);
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

// The manifest is as new as the newest item: the same items give the same
// package, byte for byte, whenever and wherever it is built. Without an item
// whose time is known, it is dated by the run.
qint64 manifestTime(const std::vector<std::unique_ptr<ItemSource>> &sources)
{
    bool known = false;
    qint64 newest = 0;
    for (const auto &source : sources) {
        qint64 seconds = 0;
        if (source->utcModified(&seconds) && (!known || seconds > newest)) {
            newest = seconds;
            known = true;
        }
    }
    return known ? newest : qint64(std::time(nullptr));
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
    QStringList checkedPackages; // the package of each check, in check order
    quint64 total = 0;
    for (const PackageItem &item : items) {
        const int index = int(sources.size());
        if (item.isPackageEntry()) {
            if (!item.packageSource->unchanged())
                return writeFailure(F::PackageChanged, item.packagePath);
            fromPackages.push_back(&item);
            if (item.entry.method == EntryReader::methodDeflate) {
                checks.add(item.packageSource, item.entry);
                checkedPackages.append(item.packagePath);
                sources.push_back(rawCopySource(&run, index, item));
                total = saturatingAdd(total, item.entry.compressedSize); // the check reads it too
            } else {
                sources.push_back(reencodedSource(&run, index, item));
            }
        } else {
            PackageFailure opened;
            sources.push_back(fileSource(&run, index, item.filePath, &opened));
            if (opened.failed())
                return opened;
        }
        total = saturatingAdd(total, sources.back()->workBytes());
    }
    sources.push_back(
        manifestSource(&run, int(sources.size()), manifestBytes(items), manifestTime(sources)));
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
    int failedCheck = -1;
    const ZipProblem checked = checks.wait(&failedCheck);
    PackageFailure failure = refusalFor(checked, checkedPackages.value(failedCheck));
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
