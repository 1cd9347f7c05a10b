#include "combinedpackage.h"

#include "manifestmember.h"

#include "entryreader.h"
#include "packagemanifest.h"
#include "packagerequest.h"
#include "portablename.h"
#include "runcontrol.h"
#include "upgradeitemtypes.h"
#include "visibletext.h"
#include "zipcontainer.h"
#include "zipfailure.h"

#include <QFileInfo>
#include <QHash>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
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
        const ZipProblem read = readZipContainer(*source, &container);
        if (read.failed()) {
            result.problems.append(refusalFor(read, path));
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
        EntryReader reader(source, entry);
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
        return refusalFor(drainEntry(reader, [this](quint64) { return !cancelled(); }), path);
    }

    void screenMember(const QString &key, const QJsonValue &value)
    {
        QString name;
        PackageFailure f = judgeMemberText(key, value, manifestIsExact, path, &name);
        const ZipEntry *entry = byFoldedName.value(windowsFoldedName(name));
        if (!f.failed() && (!entry || nfc(entry->name) != nfc(name)))
            f = packageRefusal(F::NamedEntryMissing, path, name, key);
        if (!f.failed())
            f = judgeNamedEntry(*entry, name, key, path);
        if (!f.failed() && !EntryReader::canRead(entry->method)) {
            EntryReader reader(source, *entry);
            reader.open();
            f = refusalFor(reader.failure(), path);
        }
        // Two items of one file would be two entries of one name.
        if (!f.failed() && used.contains(entry))
            f = packageRefusal(F::EntryNameRepeated, path, name);
        if (f.failed()) {
            result.problems.append(f);
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
                total = qMin(total + EntryReader(source, item.entry).bytesToDeliver(),
                             quint64(1) << 62);
            control->begin(qint64(total));
        }
        int index = 0;
        for (const PackageItem &item : qAsConst(result.package.items)) {
            if (cancelled())
                return;
            if (control)
                control->setCurrentItem(index++);
            EntryReader reader(source, item.entry);
            const PackageFailure intact
                = refusalFor(drainEntry(&reader,
                                        [this](quint64 bytes) {
                                            if (control)
                                                control->advance(qint64(bytes));
                                            return !cancelled();
                                        }),
                             path);
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

QList<Replacement> replacementsIn(const CombinedPackage &package, const PackageItems &items)
{
    QList<Replacement> replacements;
    for (auto it = package.items.cbegin(); it != package.items.cend(); ++it) {
        const auto plain = items.constFind(it.key());
        if (plain != items.cend())
            replacements.append({it.key(), it.value().name, plain->name, plain->row});
    }
    return replacements;
}

PackageFailure mergeCombinedPackage(const CombinedPackage &package, PackageItems *items,
                                    const QList<Replacement> &agreed)
{
    const auto isAgreed = [&](const QString &key) {
        return std::any_of(agreed.cbegin(), agreed.cend(),
                           [&](const Replacement &r) { return r.typeKey == key; });
    };
    for (auto it = package.items.cbegin(); it != package.items.cend(); ++it) {
        if (!items->contains(it.key())) {
            items->insert(it.key(), it.value());
        } else if (!isAgreed(it.key())) {
            PackageFailure f;
            f.kind = F::TypeRepeated;
            f.subject = typeLabelForKey(it.key());
            f.detail = it.value().name;
            f.path = package.path;
            f.row = items->value(it.key()).row;
            return f;
        }
    }
    return checkFileNames(*items);
}

QString replacementText(const Replacement &r)
{
    return QStringLiteral("已替换：%1 %2 → %3")
        .arg(typeLabelForKey(r.typeKey), r.replacedName, r.newName);
}
