#include "zipfailure.h"
#include "invariant.h"

#include "combinedpackage.h"
#include "entryreader.h"
#include "packagemanifest.h"
#include "packagewriter.h"
#include "packagingrun.h"
#include "runcontrol.h"
#include "zipcontainer.h"

#include <QCryptographicHash>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <unistd.h>

namespace {

const QString inputPath = QStringLiteral("fuzz-input.zip");
const QString archiveName = QStringLiteral("new.zip");

QString describe(const PackageFailure &f)
{
    if (!f.failed())
        return QStringLiteral("none");
    QString text = problemCode(f);
    for (const QString &part : {f.detail, f.key, f.specifics, f.subject}) {
        if (!part.isEmpty())
            text += QStringLiteral(" [") + part + QLatin1Char(']');
    }
    return text;
}

QString describe(const QList<PackageFailure> &failures)
{
    QStringList texts;
    for (const PackageFailure &f : failures)
        texts << describe(f);
    return texts.isEmpty() ? QStringLiteral("none") : texts.join(QStringLiteral("; "));
}

bool sameFailure(const PackageFailure &a, const PackageFailure &b)
{
    return a.kind == b.kind && a.reason == b.reason && a.detail == b.detail && a.key == b.key
        && a.specifics == b.specifics && a.nameProblem == b.nameProblem;
}

// Names in the folder, hidden ones too, without "." and "..".
QStringList folderContents(const QString &folder)
{
    QStringList names;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return {QStringLiteral("(folder unreadable)")};
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << QFile::decodeName(name);
    }
    ::closedir(dir);
    names.sort();
    return names;
}

// An entry read to its end as inspect and the writer read it: the bytes as
// they come out (compressed for a deflated entry) and the uncompressed bytes,
// each as a length and a SHA-256, so that a large entry is not held in memory.
struct EntryDigest
{
    PackageFailure failure;
    quint64 deliveredSize = 0;
    QByteArray delivered;
    quint64 plainSize = 0;
    QByteArray plain;
};

EntryDigest digestEntry(const std::shared_ptr<const ByteSource> &source, const ZipEntry &entry)
{
    EntryDigest digest;
    QCryptographicHash delivered(QCryptographicHash::Sha256);
    QCryptographicHash plain(QCryptographicHash::Sha256);
    QByteArray plainBytes;
    EntryReader reader(source, entry);
    reader.collectPlainBytes(&plainBytes);
    if (!reader.open()) {
        digest.failure = refusalFor(reader.failure(), inputPath);
        return digest;
    }
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    qint64 got;
    while ((got = reader.read(buffer.data(), quint64(buffer.size()))) > 0) {
        delivered.addData(buffer.constData(), int(got));
        digest.deliveredSize += quint64(got);
        plain.addData(plainBytes);
        digest.plainSize += quint64(plainBytes.size());
        plainBytes.clear();
    }
    if (got < 0)
        digest.failure = refusalFor(reader.failure(), inputPath);
    plain.addData(plainBytes);
    digest.plainSize += quint64(plainBytes.size());
    digest.delivered = delivered.result();
    digest.plain = plain.result();
    return digest;
}

class Check
{
public:
    Check(const QString &folder, const QByteArray &package)
        : folder(folder)
        , archivePath(folder + QLatin1Char('/') + archiveName)
        , source(std::make_shared<MemoryByteSource>(package))
    {
    }

    QString run()
    {
        const PackageScreening verdict = judgePackage(source, inputPath, EntryReading::EveryItem);
        const PackageScreening screened
            = judgePackage(source, inputPath, EntryReading::ManifestOnly);
        if (!startsWith(verdict.problems, screened.problems)
            || verdict.package.items.keys() != screened.package.items.keys())
            return QStringLiteral(
                       "the manifest-only verdict (%1) is not the start of inspect's (%2)")
                .arg(describe(screened.problems), describe(verdict.problems));

        PackageFailure runFailure = firstProblem(screened);
        if (!runFailure.failed())
            runFailure = mergeCombinedPackage(screened.package, &items);
        if (!runFailure.failed()) {
            RunControl control;
            runFailure = writePackage(archivePath, items, &control);
        }
        const bool runTook = !runFailure.failed();
        const QStringList left = folderContents(folder);
        const QStringList expected = runTook ? QStringList {archiveName} : QStringList();
        if (left != expected) {
            removeLeftovers(left);
            return QStringLiteral("the run (%1) left [%2] in its folder")
                .arg(describe(runFailure), left.join(QStringLiteral(", ")));
        }
        if (verdict.taken() != runTook) {
            removeLeftovers(left);
            return QStringLiteral("inspect says %1 (%2) but the run %3 (%4)")
                .arg(verdict.taken() ? QStringLiteral("valid") : QStringLiteral("invalid"),
                     describe(verdict.problems),
                     runTook ? QStringLiteral("took it") : QStringLiteral("did not"),
                     describe(runFailure));
        }
        if (!runTook)
            return QString();

        QFile written(archivePath);
        const QByteArray newBytes
            = written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
        written.close();
        QFile::remove(archivePath);
        return checkNewPackage(newBytes);
    }

private:
    static bool startsWith(const QList<PackageFailure> &all, const QList<PackageFailure> &start)
    {
        if (start.size() > all.size())
            return false;
        for (int i = 0; i < start.size(); ++i) {
            if (!sameFailure(all.at(i), start.at(i)))
                return false;
        }
        return true;
    }

    void removeLeftovers(const QStringList &names) const
    {
        for (const QString &name : names)
            QFile::remove(folder + QLatin1Char('/') + name);
    }

    QString checkNewPackage(const QByteArray &bytes) const
    {
        const auto newSource = std::make_shared<MemoryByteSource>(bytes);
        const PackageScreening again = judgePackage(newSource, inputPath, EntryReading::EveryItem);
        if (!again.taken() || !again.notes.isEmpty())
            return QStringLiteral("the new package is refused or has notes: %1; notes: %2")
                .arg(describe(again.problems), describe(again.notes));
        if (again.package.items.keys() != items.keys())
            return QStringLiteral("the new package's types [%1] are not the old ones [%2]")
                .arg(again.package.items.keys().join(QStringLiteral(", ")),
                     items.keys().join(QStringLiteral(", ")));
        for (auto it = items.cbegin(); it != items.cend(); ++it) {
            const PackageItem &copy = again.package.items.value(it.key());
            if (copy.name != it.value().name)
                return QStringLiteral("%1 is named %2 in the new package, not %3")
                    .arg(it.key(), copy.name, it.value().name);
            const QString entry = compareEntries(it.value().entry, copy.entry, newSource);
            if (!entry.isEmpty())
                return it.key() + QStringLiteral(": ") + entry;
        }
        return checkManifest(newSource);
    }

    QString compareEntries(const ZipEntry &old, const ZipEntry &copy,
                           const std::shared_ptr<const ByteSource> &newSource) const
    {
        if (copy.method != EntryReader::methodDeflate)
            return QStringLiteral("the copy is stored with method %1").arg(copy.method);
        if (copy.size != old.size || copy.crc != old.crc)
            return QStringLiteral("size or CRC-32 differ (%1/%2 -> %3/%4)")
                .arg(old.size)
                .arg(old.crc, 8, 16)
                .arg(copy.size)
                .arg(copy.crc, 8, 16);
        if (copy.dosTime != old.dosTime || copy.dosDate != old.dosDate)
            return QStringLiteral("date or time differ");
        if (copy.permissions() != old.permissions())
            return QStringLiteral("permissions differ (%1 -> %2)")
                .arg(old.permissions(), 0, 8)
                .arg(copy.permissions(), 0, 8);
        const EntryDigest before = digestEntry(source, old);
        const EntryDigest after = digestEntry(newSource, copy);
        if (before.failure.failed() || after.failure.failed())
            return QStringLiteral("reading it again fails (old: %1, new: %2)")
                .arg(describe(before.failure), describe(after.failure));
        if (before.plainSize != old.size || before.plain != after.plain
            || before.plainSize != after.plainSize)
            return QStringLiteral("the uncompressed bytes differ");
        if (old.method == EntryReader::methodDeflate
            && (before.delivered != after.delivered || before.deliveredSize != after.deliveredSize
                || copy.compressedSize != old.compressedSize))
            return QStringLiteral("the deflated bytes were not copied as they are");
        return QString();
    }

    QString checkManifest(const std::shared_ptr<const ByteSource> &newSource) const
    {
        ZipContainer container;
        const PackageFailure read = refusalFor(readZipContainer(*newSource, &container), inputPath);
        if (read.failed())
            return QStringLiteral("the new package's container: ") + describe(read);
        if (container.entries.size() != items.size() + 1)
            return QStringLiteral("the new package has %1 entries for %2 items")
                .arg(container.entries.size())
                .arg(items.size());
        const ZipEntry &manifest = container.entries.last();
        if (manifest.name != manifestFileName)
            return QStringLiteral("the new package's last entry is %1").arg(manifest.name);
        QByteArray bytes;
        EntryReader reader(newSource, manifest);
        reader.collectPlainBytes(&bytes);
        char buffer[4096];
        qint64 got = reader.open() ? 0 : -1;
        while (got >= 0 && (got = reader.read(buffer, sizeof(buffer))) > 0) { }
        if (got < 0)
            return QStringLiteral("the new manifest is unreadable: ") + describe(refusalFor(reader.failure(), inputPath));
        if (bytes != manifestBytes(items))
            return QStringLiteral("the new manifest %1 is not %2")
                .arg(QString::fromUtf8(bytes), QString::fromUtf8(manifestBytes(items)));
        return QString();
    }

    QString folder;
    QString archivePath;
    std::shared_ptr<const ByteSource> source;
    PackageItems items;
};

const char folderPrefix[] = "upkg-fuzz-";

// Removes the folders of fuzzers that were killed or crashed before they
// could remove their own: "upkg-fuzz-<pid>-XXXXXX" whose process is gone.
void sweepDeadFolders(const char *parent)
{
    DIR *dir = ::opendir(parent);
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(folderPrefix))
            continue;
        const QList<QByteArray> parts = name.mid(int(sizeof(folderPrefix)) - 1).split('-');
        bool isNumber = false;
        const pid_t pid = parts.size() == 2 ? pid_t(parts.first().toInt(&isNumber)) : 0;
        if (!isNumber || pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        const QByteArray folder = QByteArray(parent) + '/' + name;
        ::unlink((folder + '/' + archiveName.toUtf8()).constData());
        ::rmdir(folder.constData());
    }
    ::closedir(dir);
}

// The fuzzer's folder: on tmpfs, which holds nameless files (O_TMPFILE).
QString fuzzFolder()
{
    static const QString folder = [] {
        QByteArray made;
        for (const char *parent : {"/dev/shm", "/tmp"}) {
            sweepDeadFolders(parent);
            QByteArray pattern = QByteArray(parent) + '/' + folderPrefix
                + QByteArray::number(qint64(::getpid())) + "-XXXXXX";
            if (::mkdtemp(pattern.data())) {
                made = pattern;
                break;
            }
        }
        if (made.isEmpty()) {
            std::perror("mkdtemp");
            std::abort();
        }
        static QByteArray path = made;
        std::atexit([] {
            ::unlink((path + '/' + archiveName.toUtf8()).constData());
            ::rmdir(path.constData());
        });
        return QFile::decodeName(path);
    }();
    return folder;
}

} // namespace

PackageInvariant::PackageInvariant(const QString &folder)
    : folder(folder)
{
}

QString PackageInvariant::breach(const QByteArray &package) const
{
    return Check(folder, package).run();
}

void checkPackageInvariant(const QByteArray &package)
{
    static const PackageInvariant invariant(fuzzFolder());
    const QString breach = invariant.breach(package);
    if (breach.isEmpty())
        return;
    std::fprintf(stderr, "package invariant broken: %s\n", breach.toUtf8().constData());
    std::abort();
}

void checkPackageInvariant(const uint8_t *data, size_t size)
{
    checkPackageInvariant(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
}
