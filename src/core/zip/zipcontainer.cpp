#include "zipcontainer.h"

#include "localheaders.h"
#include "nametext.h"
#include "zipend.h"
#include "zipformat.h"

#include <QHash>
#include <QMap>

#include <algorithm>
#include <cstring>
#include <zip.h>

using namespace zipformat;

namespace {

using P = ZipProblem;

constexpr quint64 sizeLimit = quint64(1) << 53;
// No file system holds a name this long, in any encoding; a longer one is
// refused before it is decoded or kept.
constexpr quint64 nameLengthLimit = 1024;
// What a refusal quotes of a name that is too long.
constexpr int quotedNameLength = 64;

constexpr quint32 fileTypeMask = 0170000;
constexpr quint32 linkType = 0120000;
constexpr quint32 folderType = 0040000;

class ContainerReader
{
public:
    ContainerReader(const ByteSource &source, ZipContainer *container)
        : source(source)
        , container(container)
    {
    }

    ZipProblem run()
    {
        CentralDirectoryPlace place;
        ZipProblem f = locateCentralDirectory(source, &place);
        cdOffset = place.offset;
        cdSize = place.size;
        count = place.count;
        if (!f.failed())
            f = readDirectory();
        QHash<int, QByteArray> localExtras;
        if (!f.failed())
            f = checkLocalHeaders(source, cdOffset, &container->entries, &localExtras);
        for (ZipEntry &entry : container->entries)
            takeExtraFields(&entry, localExtras.value(entry.index), false);
        if (!f.failed())
            f = decodeNames();
        if (!f.failed())
            f = checkUnicodePaths();
        return f;
    }

private:
    static ZipProblem notZip(P::What what, const QString &entry = QString())
    {
        return ZipProblem::of(P::NotZip, entry, what);
    }

    bool read(quint64 offset, quint64 length, QByteArray *out) const
    {
        return readBytes(source, offset, length, out);
    }
    ZipProblem readFailure() const { return readProblem(source); }

    ZipProblem readDirectory()
    {
        QByteArray directory;
        if (!read(cdOffset, cdSize, &directory))
            return readFailure();
        quint64 at = 0;
        for (quint64 i = 0; i < count; ++i) {
            const char *p = directory.constData() + at;
            if (cdSize - at < centralHeaderSize || le32(p) != centralSignature)
                return notZip(P::EntryCountWrong);
            const quint64 nameLength = le16(p + 28);
            const quint64 extraLength = le16(p + 30);
            const quint64 commentLength = le16(p + 32);
            const quint64 length = centralHeaderSize + nameLength + extraLength + commentLength;
            if (cdSize - at < length)
                return notZip(P::DirectoryIncomplete);
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
                return ZipProblem::of(P::ExtraFieldInvalid, displayName(entry), P::CentralHeader);
            takeExtraFields(&entry, extra, true);
            Zip64Extra zip64(extra);
            if (!zip64.take(entry.size == saturated32, &entry.size)
                || !zip64.take(entry.compressedSize == saturated32, &entry.compressedSize)
                || !zip64.take(entry.headerOffset == saturated32, &entry.headerOffset)
                || !zip64.take(diskStart == saturated16, &diskStart))
                return notZip(P::Zip64FieldMissing, displayName(entry));
            if (diskStart != 0)
                return notZip(P::SplitArchive);
            if (entry.size > sizeLimit || entry.compressedSize > sizeLimit)
                return ZipProblem::of(P::EntryTooLarge, displayName(entry));
            container->entries.append(entry);
            at += length;
        }
        if (at != cdSize)
            return notZip(P::DirectorySizeWrong);
        return ZipProblem();
    }

    // Before names are decoded for good, problems name an entry as best they can.
    static QString displayName(const ZipEntry &entry)
    {
        return entry.name.isEmpty() ? utf8Text(entry.rawName) : entry.name;
    }

    static ZipProblem refuseLongName(const QByteArray &start)
    {
        return ZipProblem::of(P::NameTooLong, utf8Text(start) + QStringLiteral("…"));
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

    // A name flagged UTF-8 that is not valid UTF-8 is refused: python cannot
    // open such a package, unzip and bsdtar leave the entry out, others put
    // U+FFFD in its place. A GB18030 name that does not read back to its
    // bytes is kept, but marked: it may be left out, not copied.
    ZipProblem decodeNames()
    {
        for (const ZipEntry &entry : qAsConst(container->entries)) {
            if (!(entry.flags & utf8Flag) && !isValidUtf8(entry.rawName)
                && pathFieldName(entry).isEmpty())
                container->legacyNames = true;
        }
        for (ZipEntry &entry : container->entries) {
            if (entry.flags & utf8Flag && !isValidUtf8(entry.rawName)) {
                return ZipProblem::of(P::NameNotUtf8, utf8Text(entry.rawName));
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
        return ZipProblem();
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
    ZipProblem checkUnicodePaths() const
    {
        for (auto it = unicodeNames.cbegin(); it != unicodeNames.cend(); ++it) {
            const ZipEntry &entry = container->entries.at(it.key());
            for (const QByteArray &name : it.value()) {
                if (!isValidUtf8(name) || utf8Text(name) != entry.name)
                    return ZipProblem::of(P::UnicodePathMismatch, entry.name, P::Unspecified,
                                          utf8Text(name));
            }
        }
        return ZipProblem();
    }

    const ByteSource &source;
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

ZipProblem readZipContainer(const ByteSource &source, ZipContainer *container)
{
    *container = ZipContainer();
    return ContainerReader(source, container).run();
}
