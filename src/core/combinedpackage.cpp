#include "combinedpackage.h"

#include "packagemanifest.h"
#include "packagerequest.h"
#include "upgradeitemtypes.h"
#include "ziparchive.h"

#include <QHash>
#include <QSet>
#include <QJsonValue>

namespace {

constexpr quint64 manifestSizeLimit = 1024 * 1024;

using F = PackageFailure;

// A manifest name must be a plain file at the package root.
bool isBareFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !name.contains(QChar(0));
}

// A key that looks like a type key but is not one would reach the controller
// as a second item of that type.
QString imitatedTypeKey(const QString &key)
{
    for (const QString &type : upgradeTypeKeys) {
        if (key != type && key.compare(type, Qt::CaseInsensitive) == 0)
            return type;
    }
    return QString();
}

class Screener
{
public:
    explicit Screener(const QString &path)
        : path(path)
    {
    }

    PackageScreening run()
    {
        result.package.path = path;
        const PackageFailure opened = zip.open(path);
        if (opened.failed()) {
            result.problems.append(opened);
            return result;
        }
        entries = zip.entries();
        screenEntries();
        if (const ZipEntry *manifest = findManifest())
            screenManifest(*manifest);
        screenUnnamedEntries();
        return result;
    }

private:
    void problem(F::Reason reason, const QString &detail = QString(),
                 const QString &key = QString())
    {
        result.problems.append(packageRefusal(reason, path, detail, key));
    }

    void screenEntries()
    {
        for (const ZipEntry &entry : qAsConst(entries)) {
            if (isUnsafeEntryName(entry.name))
                problem(F::UnsafeEntryName, entry.name);
            else if (entry.isLink())
                problem(F::LinkEntry, entry.name);
            else if (entry.isEncrypted())
                problem(F::EncryptedEntry, entry.name);
            const QString folded = foldedEntryName(entry.name);
            if (byFoldedName.contains(folded))
                problem(F::EntryNameRepeated, entry.name);
            else
                byFoldedName.insert(folded, &entry);
        }
    }

    const ZipEntry *findManifest()
    {
        const ZipEntry *manifest = byFoldedName.value(foldedEntryName(manifestFileName));
        if (!manifest || manifest->name.normalized(QString::NormalizationForm_C) != manifestFileName
            || manifest->isFolder()) {
            problem(F::ManifestMissing);
            return nullptr;
        }
        if (manifest->stat.size > manifestSizeLimit) {
            problem(F::ManifestTooLarge);
            return nullptr;
        }
        return manifest;
    }

    QByteArray readManifest(const ZipEntry &manifest)
    {
        QByteArray bytes(int(manifest.stat.size), Qt::Uninitialized);
        zip_file_t *file = zip_fopen_index(zip.handle(), zip_uint64_t(manifest.index), 0);
        if (!file)
            return QByteArray();
        zip_int64_t total = 0, got = 0;
        while (total < bytes.size()
               && (got = zip_fread(file, bytes.data() + total, zip_uint64_t(bytes.size() - total)))
                   > 0)
            total += got;
        // Reading to the end is what checks the CRC.
        char probe;
        const bool whole = total == bytes.size() && zip_fread(file, &probe, 1) == 0;
        zip_fclose(file);
        return whole ? bytes : QByteArray();
    }

    void screenManifest(const ZipEntry &entry)
    {
        used.insert(&entry);
        const QByteArray bytes = readManifest(entry);
        if (bytes.isNull() && entry.stat.size > 0) {
            problem(F::EntryCorrupt, entry.name);
            return;
        }
        QJsonObject manifest;
        if (!parseManifest(bytes, &manifest)) {
            problem(F::ManifestNotObject);
            return;
        }
        for (auto it = manifest.constBegin(); it != manifest.constEnd(); ++it)
            screenMember(it.key(), it.value());
    }

    void screenMember(const QString &key, const QJsonValue &value)
    {
        const QString imitated = imitatedTypeKey(key);
        if (!imitated.isEmpty()) {
            problem(F::KeyCaseClash, imitated, key);
            return;
        }
        const QString name = value.toObject().value(QStringLiteral("name")).toString();
        if (!value.isObject() || !isBareFileName(name)
            || name.normalized(QString::NormalizationForm_C) == manifestFileName) {
            problem(F::MemberInvalid, QString(), key);
            return;
        }
        const ZipEntry *entry = byFoldedName.value(foldedEntryName(name));
        if (!entry
            || entry->name.normalized(QString::NormalizationForm_C)
                != name.normalized(QString::NormalizationForm_C)) {
            problem(F::NamedEntryMissing, name, key);
            return;
        }
        if (entry->isFolder() || entry->isLink()) {
            problem(F::NamedEntryNotFile, name, key);
            return;
        }
        if (!zip_compression_method_supported(entry->stat.comp_method, 0)) {
            problem(F::UnsupportedMethod, name);
            return;
        }
        // Two items of one file would be two entries of one name.
        if (used.contains(entry)) {
            problem(F::EntryNameRepeated, name);
            return;
        }
        used.insert(entry);
        result.package.items.insert(key, itemFor(*entry, name));
    }

    PackageItem itemFor(const ZipEntry &entry, const QString &name) const
    {
        PackageItem item;
        // Written under the manifest's spelling, so that the new package's
        // entry names equal its manifest's names.
        item.name = name;
        item.packagePath = path;
        item.entryIndex = entry.index;
        item.method = entry.stat.comp_method;
        item.crc = entry.stat.crc;
        item.size = entry.stat.size;
        item.compressedSize = entry.stat.comp_size;
        item.permissions = entry.permissions();
        item.modified = entry.stat.mtime;
        return item;
    }

    void screenUnnamedEntries()
    {
        for (const ZipEntry &entry : qAsConst(entries)) {
            if (!used.contains(&entry) && byFoldedName.value(foldedEntryName(entry.name)) == &entry)
                problem(F::UnnamedEntry, entry.name);
        }
    }

    QString path;
    ZipArchive zip;
    QList<ZipEntry> entries;
    QHash<QString, const ZipEntry *> byFoldedName;
    QSet<const ZipEntry *> used;
    PackageScreening result;
};

} // namespace

PackageScreening screenCombinedPackage(const QString &path)
{
    return Screener(path).run();
}

PackageFailure mergeCombinedPackage(const CombinedPackage &package, PackageItems *items)
{
    for (auto it = package.items.cbegin(); it != package.items.cend(); ++it) {
        if (items->contains(it.key())) {
            PackageFailure f;
            f.kind = F::TypeRepeated;
            f.subject = typeLabelForKey(it.key());
            return f;
        }
        items->insert(it.key(), it.value());
    }
    return checkFileNames(*items);
}

QList<PackageFailure> verifyPackageEntries(const QString &path)
{
    ZipArchive zip;
    const PackageFailure opened = zip.open(path);
    if (opened.failed())
        return {opened};
    QList<PackageFailure> problems;
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (const ZipEntry &entry : zip.entries()) {
        if (entry.isFolder() || entry.isLink() || entry.isEncrypted())
            continue;
        zip_file_t *file = zip_fopen_index(zip.handle(), zip_uint64_t(entry.index), 0);
        quint64 total = 0;
        zip_int64_t got = 0;
        while (file && (got = zip_fread(file, buffer.data(), zip_uint64_t(buffer.size()))) > 0)
            total += quint64(got);
        if (!file || got < 0 || total != entry.stat.size)
            problems.append(packageRefusal(F::EntryCorrupt, path, entry.name));
        if (file)
            zip_fclose(file);
    }
    return problems;
}
