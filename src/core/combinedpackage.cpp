#include "combinedpackage.h"

#include "entryreader.h"
#include "packagemanifest.h"
#include "packagerequest.h"
#include "portablename.h"
#include "runcontrol.h"
#include "upgradeitemtypes.h"
#include "visibletext.h"
#include "zipcontainer.h"

#include <QFileInfo>
#include <QHash>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>

#include <cstring>
#include <functional>

namespace {

constexpr quint64 manifestSizeLimit = 1024 * 1024;

using F = PackageFailure;

// True when an entry of this name would lead outside the folder it is
// extracted into: absolute ("/x", "\x", "C:x") or with a ".." component.
bool isUnsafeEntryName(const QString &name)
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))
        || drive.match(name).hasMatch())
        return true;
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    return name.split(separators).contains(QStringLiteral(".."));
}

// "./hmi.zip", as `bsdtar -C dir .` writes it, is hmi.zip at the root.
QString withoutLeadingDot(QString name)
{
    while (name.startsWith(QLatin1String("./")))
        name.remove(0, 2);
    return name;
}

// A manifest name must be a plain file at the package root.
bool isBareFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !name.contains(QChar(0));
}

// Control characters, and the invisible format characters (U+FEFF, U+200B,
// a soft hyphen) that make a key look like another; JSON readers, Qt's too,
// even drop a leading U+FEFF, so that "\ufeffhmi" came back as "hmi".
bool hasControlCharacter(const QString &text)
{
    return firstControlOrFormat(text) >= 0;
}

// Text of the manifest that is no text: a surrogate without its other half
// ("x\ud800", which jq and Perl refuse, and with it the whole manifest), or
// bytes that were not valid in the manifest's encoding (exactText false:
// U+FFFD stands for them).
bool isInvalidText(const QString &text, bool exactText)
{
    return firstLoneSurrogate(text) >= 0
        || (!exactText && text.contains(QChar::ReplacementCharacter));
}

// A key that looks like a type key but is not one would reach the controller
// as a second item of that type: another case, full-width letters, blanks.
QString imitatedTypeKey(const QString &key)
{
    const QString plain = key.normalized(QString::NormalizationForm_KC).toCaseFolded().trimmed();
    for (const QString &type : upgradeTypeKeys) {
        if (key != type && plain == type)
            return type;
    }
    return QString();
}

QString nfc(const QString &name)
{
    return name.normalized(QString::NormalizationForm_C);
}

class Judge
{
public:
    Judge(std::shared_ptr<const ByteSource> source, const QString &path, EntryReading reading,
          RunControl *control)
        : source(std::move(source))
        , path(path)
        , reading(reading)
        , control(control)
    {
    }

    PackageScreening run()
    {
        result.package.path = path;
        const PackageFailure read = readZipContainer(*source, path, &container);
        if (read.failed()) {
            result.problems.append(read);
            return result;
        }
        screenEntries();
        if (const ZipEntry *manifest = findManifest())
            screenManifest(*manifest);
        noteLeftOutEntries();
        if (reading == EntryReading::EveryItem)
            checkItems();
        if (cancelled())
            result.problems = {cancelledRun()};
        return result;
    }

private:
    void problem(F::Reason reason, const QString &detail = QString(),
                 const QString &key = QString())
    {
        result.problems.append(packageRefusal(reason, path, detail, key));
    }
    bool cancelled() const { return control && control->isCancelRequested(); }

    void screenEntries()
    {
        for (ZipEntry &entry : container.entries) {
            entry.name = withoutLeadingDot(entry.name);
            if (entry.name.isEmpty()) // "./" itself
                continue;
            const int problemsBefore = result.problems.size();
            if (isUnsafeEntryName(entry.name))
                problem(F::UnsafeEntryName, entry.name);
            else if (entry.isLink())
                problem(F::LinkEntry, entry.name);
            else if (entry.isEncrypted())
                problem(F::EncryptedEntry, entry.name);
            if (result.problems.size() > problemsBefore)
                refused.insert(&entry);
            const QString folded = windowsFoldedName(entry.name);
            if (byFoldedName.contains(folded))
                problem(F::EntryNameRepeated, entry.name);
            else
                byFoldedName.insert(folded, &entry);
        }
    }

    const ZipEntry *findManifest()
    {
        const ZipEntry *manifest = byFoldedName.value(windowsFoldedName(manifestFileName));
        if (!manifest || nfc(manifest->name) != manifestFileName || manifest->isFolder()
            || manifest->isLink()) {
            problem(F::ManifestMissing);
            if (!result.problems.isEmpty() && result.problems.last().reason == F::ManifestMissing)
                pointAtNestedManifest(&result.problems.last());
            return nullptr;
        }
        used.insert(manifest);
        if (manifest->size > manifestSizeLimit) {
            problem(F::ManifestTooLarge);
            return nullptr;
        }
        return manifest;
    }

    // `zip -r pkg.zip pkgdir` puts the manifest one folder down: say so.
    void pointAtNestedManifest(PackageFailure *missing) const
    {
        QStringList folders;
        for (const ZipEntry &entry : container.entries) {
            const QStringList parts = nfc(entry.name).split(QLatin1Char('/'));
            if (parts.size() == 2 && parts.at(1) == manifestFileName && !entry.isFolder())
                folders.append(parts.at(0) + QLatin1Char('/'));
        }
        if (folders.size() == 1) {
            missing->reason = F::ManifestInFolder;
            missing->detail = folders.first();
        }
    }

    void screenManifest(const ZipEntry &entry)
    {
        QByteArray bytes;
        EntryReader reader(source, path, entry);
        reader.collectPlainBytes(&bytes);
        const PackageFailure intact = drain(&reader);
        if (intact.failed()) {
            result.problems.append(intact);
            return;
        }
        QJsonObject manifest;
        if (!parseManifest(bytes, container.legacyNames, namesResolve(), &manifest,
                           &manifestIsExact)) {
            problem(F::ManifestNotObject);
            return;
        }
        for (auto it = manifest.constBegin(); it != manifest.constEnd(); ++it)
            screenMember(it.key(), it.value());
        // The new package carries its own manifest, in UTF-8, which takes half
        // as much again as GB18030 for Chinese text: it must fit the limit too.
        if (quint64(manifestBytes(result.package.items).size()) > manifestSizeLimit)
            problem(F::ManifestTooLarge);
    }

    // Whether a manifest read one way names entries that exist, which tells a
    // UTF-8 manifest from a GB18030 one in a package of GB18030 names.
    std::function<bool(const QJsonObject &)> namesResolve() const
    {
        return [this](const QJsonObject &manifest) {
            for (const QJsonValue &value : manifest) {
                const QString name = value.toObject().value(QStringLiteral("name")).toString();
                const ZipEntry *entry = byFoldedName.value(windowsFoldedName(name));
                if (!entry || nfc(entry->name) != nfc(name))
                    return false;
            }
            return true;
        };
    }

    PackageFailure drain(EntryReader *reader) const
    {
        return drainEntry(reader, [this](quint64) { return !cancelled(); });
    }

    void screenMember(const QString &key, const QJsonValue &value)
    {
        if (isInvalidText(key, manifestIsExact)) {
            PackageFailure f = packageRefusal(F::KeyImitatesType, path, QString(), key);
            f.nameProblem = NameProblem::InvalidText;
            result.problems.append(f);
            return;
        }
        const QString imitated = imitatedTypeKey(key);
        if (hasControlCharacter(key) || !imitated.isEmpty()) {
            PackageFailure f = packageRefusal(F::KeyImitatesType, path, imitated, key);
            result.problems.append(f);
            return;
        }
        const QString name = value.toObject().value(QStringLiteral("name")).toString();
        if (!value.isObject() || !isBareFileName(name) || nfc(name) == manifestFileName
            || isInvalidText(name, manifestIsExact)) {
            problem(F::MemberInvalid, QString(), key);
            return;
        }
        const ZipEntry *entry = byFoldedName.value(windowsFoldedName(name));
        if (!entry || nfc(entry->name) != nfc(name)) {
            problem(F::NamedEntryMissing, name, key);
            return;
        }
        if (entry->isFolder() || entry->isLink()) {
            problem(F::NamedEntryNotFile, name, key);
            return;
        }
        // The new package carries the entry under this name, composed (NFC),
        // which some characters make longer. (A leading U+FEFF, a format
        // character, would be dropped by UTF-8 readers as a byte-order mark.)
        NameProblem unportable = portableNameProblem(name);
        if (!unportable.found())
            unportable = portableNameProblem(nfc(name));
        // A stored name that is not valid GB18030 would come out as another.
        if (!unportable.found() && !entry->nameValid)
            unportable.kind = NameProblem::InvalidText;
        if (unportable.found()) {
            PackageFailure f = packageRefusal(F::UnportableEntryName, path, name, key);
            f.nameProblem = unportable.kind;
            f.specifics = unportable.character;
            result.problems.append(f);
            return;
        }
        if (!EntryReader::canRead(entry->method)) {
            EntryReader reader(source, path, *entry);
            reader.open();
            result.problems.append(reader.failure());
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
        item.name = nfc(name);
        item.packagePath = path;
        item.packageSource = source;
        item.entry = entry;
        return item;
    }

    void noteLeftOutEntries()
    {
        for (const ZipEntry &entry : qAsConst(container.entries)) {
            if (entry.name.isEmpty() || used.contains(&entry) || refused.contains(&entry)
                || byFoldedName.value(windowsFoldedName(entry.name)) != &entry)
                continue;
            result.notes.append(packageRefusal(F::EntryLeftOut, path, entry.name));
            result.package.leftOutEntries.append(entry.name);
        }
    }

    // The reading that takes its time on a big package: its progress is the
    // bytes the items' readers deliver, in package order, so that a watcher
    // can show it.
    void checkItems()
    {
        if (control) {
            // Each count is at most 2^53; many of them stop short of overflow.
            quint64 total = 0;
            for (const PackageItem &item : qAsConst(result.package.items))
                total = qMin(total + EntryReader(source, path, item.entry).bytesToDeliver(),
                             quint64(1) << 62);
            control->begin(qint64(total));
        }
        int index = 0;
        for (const PackageItem &item : qAsConst(result.package.items)) {
            if (cancelled())
                return;
            if (control)
                control->setCurrentItem(index++);
            EntryReader reader(source, path, item.entry);
            const PackageFailure intact = drainEntry(&reader, [this](quint64 bytes) {
                if (control)
                    control->advance(qint64(bytes));
                return !cancelled();
            });
            if (intact.failed())
                result.problems.append(intact);
        }
    }

    std::shared_ptr<const ByteSource> source;
    QString path;
    EntryReading reading;
    RunControl *control;
    ZipContainer container;
    bool manifestIsExact = true; // valid text in the encoding it was read in
    QHash<QString, const ZipEntry *> byFoldedName;
    QSet<const ZipEntry *> used;
    QSet<const ZipEntry *> refused; // a problem already
    PackageScreening result;
};

PackageScreening judgeFile(const QString &path, EntryReading reading, RunControl *control)
{
    FileError error;
    const std::shared_ptr<const ByteSource> source = FileByteSource::open(path, &error);
    if (!source) {
        PackageScreening refused;
        refused.package.path = path;
        const PackageFailure::Reason reason = reasonForReadError(error);
        refused.problems.append(
            packageRefusal(reason, path, reason == F::ReadError ? error.words : QString()));
        return refused;
    }
    return judgePackage(source, path, reading, control);
}

} // namespace

PackageScreening judgePackage(const std::shared_ptr<const ByteSource> &source, const QString &path,
                              EntryReading reading, RunControl *control)
{
    return Judge(source, path, reading, control).run();
}

PackageScreening screenCombinedPackage(const QString &path, RunControl *control)
{
    return judgeFile(path, EntryReading::ManifestOnly, control);
}

PackageScreening inspectPackage(const QString &path, RunControl *control)
{
    return judgeFile(path, EntryReading::EveryItem, control);
}

PackageFailure mergeCombinedPackage(const CombinedPackage &package, PackageItems *items)
{
    for (auto it = package.items.cbegin(); it != package.items.cend(); ++it) {
        if (items->contains(it.key())) {
            PackageFailure f;
            f.kind = F::TypeRepeated;
            f.subject = typeLabelForKey(it.key());
            f.path = package.path;
            return f;
        }
        items->insert(it.key(), it.value());
    }
    return checkFileNames(*items);
}
