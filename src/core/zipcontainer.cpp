#include "zipcontainer.h"

#include "extrafields.h"
#include "littleendian.h"
#include "packagemanifest.h"
#include "portablename.h"
#include "zipend.h"

#include <QHash>
#include <QMap>

#include <algorithm>
#include <cstring>
#include <zip.h>

namespace {

using F = PackageFailure;

constexpr quint32 localSignature = 0x04034b50;
constexpr quint32 centralSignature = 0x02014b50;
constexpr quint32 descriptorSignature = 0x08074b50;

constexpr quint64 centralHeaderSize = 46;
constexpr quint64 localHeaderSize = 30;
constexpr quint64 sizeLimit = quint64(1) << 53;
// No file system holds a name this long, in any encoding; a longer one is
// refused before it is decoded or kept.
constexpr quint64 nameLengthLimit = 1024;
// What a refusal quotes of a name that is too long.
constexpr int quotedNameLength = 64;
constexpr quint16 descriptorFlag = 0x0008;
constexpr quint16 utf8Flag = 0x0800;
constexpr quint32 saturated32 = 0xffffffff;
constexpr quint16 saturated16 = 0xffff;

constexpr quint32 fileTypeMask = 0170000;
constexpr quint32 linkType = 0120000;
constexpr quint32 folderType = 0040000;

// All of the bytes: QString::fromUtf8(QByteArray) stops at a NUL, which
// would make "hmi.zip\0x" read as "hmi.zip".
QString utf8Text(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

// The 64-bit values that a ZIP64 extra field holds for the saturated fields,
// in their fixed order. False when the field is missing or too short.
class Zip64Extra
{
public:
    explicit Zip64Extra(const QByteArray &extra)
        : data(extraField(extra, zip64ExtraId))
    {
    }
    // Takes the next 64-bit value into *value when the 32-bit one was full.
    bool take(bool full, quint64 *value)
    {
        if (!full)
            return true;
        if (used + 8 > data.size())
            return false;
        *value = le64(data.constData() + used);
        used += 8;
        return true;
    }

private:
    QByteArray data;
    int used = 0;
};

class ContainerReader
{
public:
    ContainerReader(const ByteSource &source, const QString &path, ZipContainer *container)
        : source(source)
        , path(path)
        , container(container)
    {
    }

    PackageFailure run()
    {
        CentralDirectoryPlace place;
        PackageFailure f = locateCentralDirectory(source, path, &place);
        cdOffset = place.offset;
        cdSize = place.size;
        count = place.count;
        if (!f.failed())
            f = readDirectory();
        if (!f.failed())
            f = checkLocalHeaders();
        if (!f.failed())
            f = decodeNames();
        if (!f.failed())
            f = checkUnicodePaths();
        return f;
    }

private:
    PackageFailure refuse(F::Reason reason, const QString &detail = QString(),
                          const QString &specifics = QString()) const
    {
        PackageFailure f = packageRefusal(reason, path, detail);
        f.specifics = specifics;
        return f;
    }
    PackageFailure notZip(const QString &words) const { return refuse(F::NotZip, words); }

    bool read(quint64 offset, quint64 length, QByteArray *out) const
    {
        if (offset > source.size() || length > source.size() - offset)
            return false;
        out->resize(int(length));
        return source.readAt(offset, out->data(), length);
    }
    PackageFailure readFailure() const
    {
        if (source.lastError().failed())
            return refuse(F::ReadError, source.lastError().words);
        return notZip(QStringLiteral("文件不完整"));
    }

    PackageFailure readDirectory()
    {
        QByteArray directory;
        if (!read(cdOffset, cdSize, &directory))
            return readFailure();
        quint64 at = 0;
        for (quint64 i = 0; i < count; ++i) {
            const char *p = directory.constData() + at;
            if (cdSize - at < centralHeaderSize || le32(p) != centralSignature)
                return notZip(QStringLiteral("中央目录的条目数与结束记录不符"));
            const quint64 nameLength = le16(p + 28);
            const quint64 extraLength = le16(p + 30);
            const quint64 commentLength = le16(p + 32);
            const quint64 length = centralHeaderSize + nameLength + extraLength + commentLength;
            if (cdSize - at < length)
                return notZip(QStringLiteral("中央目录不完整"));
            if (nameLength > nameLengthLimit)
                return refuseLongName(directory.mid(int(at + centralHeaderSize), quotedNameLength));
            ZipEntry entry;
            entry.index = int(i);
            entry.centralOffset = cdOffset + at;
            entry.madeBy = le16(p + 4);
            entry.flags = le16(p + 8);
            entry.method = le16(p + 10);
            entry.dosTime = le16(p + 12);
            entry.dosDate = le16(p + 14);
            entry.crc = le32(p + 16);
            entry.compressedSize = le32(p + 20);
            entry.size = le32(p + 24);
            quint64 diskStart = le16(p + 34);
            entry.attributes = le32(p + 38);
            entry.headerOffset = le32(p + 42);
            entry.rawName = directory.mid(int(at + centralHeaderSize), int(nameLength));
            const QByteArray extra
                = directory.mid(int(at + centralHeaderSize + nameLength), int(extraLength));
            if (!extraFieldsTile(extra))
                return refuse(F::ExtraFieldInvalid, displayName(entry), QStringLiteral("中央目录"));
            takeExtraFields(&entry, extra, true);
            Zip64Extra zip64(extra);
            if (!zip64.take(entry.size == saturated32, &entry.size)
                || !zip64.take(entry.compressedSize == saturated32, &entry.compressedSize)
                || !zip64.take(entry.headerOffset == saturated32, &entry.headerOffset)
                || !zip64.take(diskStart == saturated16, &diskStart))
                return notZip(QStringLiteral("%1缺少ZIP64扩展字段").arg(displayName(entry)));
            if (diskStart != 0)
                return notZip(QStringLiteral("分卷压缩包"));
            if (entry.size > sizeLimit || entry.compressedSize > sizeLimit)
                return refuse(F::EntryTooLarge, displayName(entry));
            container->entries.append(entry);
            at += length;
        }
        if (at != cdSize)
            return notZip(QStringLiteral("中央目录的大小与条目不符"));
        return PackageFailure();
    }

    // Before names are decoded for good, problems name an entry as best they can.
    static QString displayName(const ZipEntry &entry)
    {
        return entry.name.isEmpty() ? utf8Text(entry.rawName) : entry.name;
    }

    PackageFailure refuseLongName(const QByteArray &start) const
    {
        PackageFailure f = refuse(F::UnportableEntryName, utf8Text(start) + QStringLiteral("…"));
        f.nameProblem = NameProblem::TooLong;
        return f;
    }

    // What an entry's extra block says beyond its sizes: the names its Unicode
    // Path fields give it, and its time in UTC, taken from the field that
    // readers prefer (UT before NTFS, the central header before the local).
    void takeExtraFields(ZipEntry *entry, const QByteArray &extra, bool central)
    {
        const QList<QByteArray> names = unicodePathNames(extra, entry->rawName);
        if (!names.isEmpty())
            unicodeNames[entry->index] += names;
        qint64 seconds = 0;
        int rank = 0;
        if (extendedModifiedTime(extra, &seconds))
            rank = central ? 4 : 3;
        else if (ntfsModifiedTime(extra, &seconds))
            rank = central ? 2 : 1;
        if (rank > timeRank.value(entry->index)) {
            timeRank.insert(entry->index, rank);
            entry->hasUtcModified = true;
            entry->utcModified = seconds;
        }
    }

    PackageFailure checkLocalHeaders()
    {
        QList<ZipEntry *> byOffset;
        for (ZipEntry &entry : container->entries)
            byOffset.append(&entry);
        std::stable_sort(
            byOffset.begin(), byOffset.end(),
            [](const ZipEntry *a, const ZipEntry *b) { return a->headerOffset < b->headerOffset; });
        const quint64 firstStart = byOffset.isEmpty() ? cdOffset : byOffset.first()->headerOffset;
        if (firstStart > 0)
            return refuse(F::DataBeforeEntries, QString::number(firstStart));
        for (int i = 0; i < byOffset.size(); ++i) {
            ZipEntry &entry = *byOffset.at(i);
            const quint64 nextStart
                = i + 1 < byOffset.size() ? byOffset.at(i + 1)->headerOffset : cdOffset;
            const PackageFailure f = checkEntry(&entry, nextStart);
            if (f.failed())
                return f;
        }
        return PackageFailure();
    }

    PackageFailure checkEntry(ZipEntry *entry, quint64 nextStart)
    {
        const QString name = displayName(*entry);
        QByteArray header;
        if (entry->headerOffset >= cdOffset)
            return refuse(F::EntriesOverlap, name);
        if (!read(entry->headerOffset, localHeaderSize, &header))
            return refuse(F::EntryPastEnd, name);
        const char *p = header.constData();
        if (le32(p) != localSignature)
            return refuse(F::LocalHeaderMismatch, name, QStringLiteral("没有本地文件头"));
        const quint64 nameLength = le16(p + 26);
        const quint64 extraLength = le16(p + 28);
        QByteArray variable;
        if (!read(entry->headerOffset + localHeaderSize, nameLength + extraLength, &variable))
            return refuse(F::EntryPastEnd, name);
        if (variable.left(int(nameLength)) != entry->rawName)
            return refuse(F::LocalHeaderMismatch, name, QStringLiteral("名称"));
        const QByteArray localExtra = variable.mid(int(nameLength));
        if (!extraFieldsTile(localExtra))
            return refuse(F::ExtraFieldInvalid, name, QStringLiteral("本地文件头"));
        takeExtraFields(entry, localExtra, false);
        if (le16(p + 6) != entry->flags)
            return refuse(F::LocalHeaderMismatch, name, QStringLiteral("标志"));
        if (le16(p + 8) != entry->method)
            return refuse(F::LocalHeaderMismatch, name, QStringLiteral("压缩方式"));

        quint64 crc = le32(p + 14), compressed = le32(p + 18), size = le32(p + 22);
        Zip64Extra zip64(localExtra);
        const bool wide = compressed == saturated32 || size == saturated32;
        quint64 wideSize = size, wideCompressed = compressed;
        // A local ZIP64 field holds both sizes, the uncompressed one first.
        if (wide && zip64.take(true, &wideSize) && zip64.take(true, &wideCompressed)) {
            size = wideSize;
            compressed = wideCompressed;
        }
        // With a data descriptor the local header may leave them at zero.
        const bool described = entry->flags & descriptorFlag;
        const auto agrees = [described](quint64 local, quint64 central) {
            return local == central || (described && local == 0);
        };
        if (!agrees(crc, entry->crc))
            return refuse(F::LocalHeaderMismatch, name, QStringLiteral("CRC-32"));
        if (!agrees(compressed, entry->compressedSize) || !agrees(size, entry->size))
            return refuse(F::LocalHeaderMismatch, name, QStringLiteral("大小"));

        entry->dataOffset = entry->headerOffset + localHeaderSize + nameLength + extraLength;
        if (entry->dataOffset > source.size()
            || entry->compressedSize > source.size() - entry->dataOffset)
            return refuse(F::EntryPastEnd, name);
        const quint64 dataEnd = entry->dataOffset + entry->compressedSize;
        if (dataEnd > nextStart)
            return refuse(F::EntriesOverlap, name);
        const quint64 gap = nextStart - dataEnd;
        if (!described)
            return gap == 0 ? PackageFailure() : refuse(F::DataBetweenEntries, name);
        return checkDescriptor(*entry, dataEnd, gap);
    }

    // A data descriptor fills the space to the next header exactly: with or
    // without its signature, with 32-bit or (for ZIP64) 64-bit sizes.
    PackageFailure checkDescriptor(const ZipEntry &entry, quint64 offset, quint64 length)
    {
        const QString name = displayName(entry);
        const bool signed_ = length == 16 || length == 24;
        const bool wide = length == 20 || length == 24;
        QByteArray bytes;
        if (length != 12 && length != 16 && length != 20 && length != 24)
            return refuse(length < 12 ? F::DataDescriptorMismatch : F::DataBetweenEntries, name);
        if (!read(offset, length, &bytes))
            return readFailure();
        const char *p = bytes.constData();
        if (signed_) {
            if (le32(p) != descriptorSignature)
                return refuse(F::DataDescriptorMismatch, name);
            p += 4;
        }
        const quint64 crc = le32(p);
        const quint64 compressed = wide ? le64(p + 4) : le32(p + 4);
        const quint64 size = wide ? le64(p + 12) : le32(p + 8);
        if (crc != entry.crc || compressed != entry.compressedSize || size != entry.size)
            return refuse(F::DataDescriptorMismatch, name);
        return PackageFailure();
    }

    // A name flagged UTF-8 that is not valid UTF-8 is refused: python cannot
    // open such a package, unzip and bsdtar leave the entry out, others put
    // U+FFFD in its place. A GB18030 name that does not read back to its
    // bytes is kept, but marked: it may be left out, not copied.
    PackageFailure decodeNames()
    {
        for (const ZipEntry &entry : qAsConst(container->entries)) {
            if (!(entry.flags & utf8Flag) && !isValidUtf8(entry.rawName)
                && pathFieldName(entry).isEmpty())
                container->legacyNames = true;
        }
        for (ZipEntry &entry : container->entries) {
            if (entry.flags & utf8Flag && !isValidUtf8(entry.rawName)) {
                PackageFailure f = refuse(F::UnportableEntryName, utf8Text(entry.rawName));
                f.nameProblem = NameProblem::InvalidText;
                return f;
            }
            const bool utf8 = (entry.flags & utf8Flag) || !container->legacyNames;
            const QString fieldName = pathFieldName(entry);
            if (!(entry.flags & utf8Flag) && !isValidUtf8(entry.rawName) && !fieldName.isEmpty()) {
                entry.name = fieldName;
            } else if (utf8) {
                entry.name = utf8Text(entry.rawName);
            } else {
                entry.name = decodeGb18030(entry.rawName);
                entry.nameValid = isValidGb18030(entry.rawName);
            }
        }
        return PackageFailure();
    }

    // A name in a code page (not UTF-8) that a Unicode Path field is meant
    // for is the field's name, if its fields agree: what unzip, bsdtar and
    // libzip read, and what a zip of a Western Windows means by CP437 bytes.
    QString pathFieldName(const ZipEntry &entry) const
    {
        const QList<QByteArray> names = unicodeNames.value(entry.index);
        if (names.isEmpty() || !isValidUtf8(names.first())
            || names.count(names.first()) != names.size())
            return QString();
        return utf8Text(names.first());
    }

    // A Unicode Path field meant for the stored name must give the entry the
    // name it has: unzip, bsdtar and libzip read the field's name, python and
    // Java the stored one.
    PackageFailure checkUnicodePaths() const
    {
        for (auto it = unicodeNames.cbegin(); it != unicodeNames.cend(); ++it) {
            const ZipEntry &entry = container->entries.at(it.key());
            for (const QByteArray &name : it.value()) {
                if (!isValidUtf8(name) || utf8Text(name) != entry.name)
                    return refuse(F::UnicodePathMismatch, entry.name, utf8Text(name));
            }
        }
        return PackageFailure();
    }

    const ByteSource &source;
    QString path;
    ZipContainer *container;
    quint64 count = 0;
    quint64 cdSize = 0;
    quint64 cdOffset = 0;
    QMap<int, QList<QByteArray>> unicodeNames; // by entry index
    QHash<int, int> timeRank; // by entry index: where its UTC time came from
};

quint32 unixMode(const ZipEntry &entry)
{
    return (entry.madeBy >> 8) == ZIP_OPSYS_UNIX ? entry.attributes >> 16 : 0;
}

} // namespace

bool ZipEntry::isFolder() const
{
    return name.endsWith(QLatin1Char('/')) || (unixMode(*this) & fileTypeMask) == folderType
        || ((madeBy >> 8) == ZIP_OPSYS_DOS && (attributes & 0x10));
}

bool ZipEntry::isLink() const
{
    return (unixMode(*this) & fileTypeMask) == linkType;
}

bool ZipEntry::isEncrypted() const
{
    // Bit 0: encrypted; bit 6: strong encryption; method 99: AES.
    return (flags & 0x0041) || method == 99;
}

quint32 ZipEntry::permissions() const
{
    const quint32 mode = unixMode(*this) & 0777;
    return mode ? mode : 0644;
}

PackageFailure readZipContainer(const ByteSource &source, const QString &path,
                                ZipContainer *container)
{
    *container = ZipContainer();
    return ContainerReader(source, path, container).run();
}
