#include "rawzip.h"

namespace {

constexpr quint32 saturated32 = 0xffffffff;
constexpr quint16 saturated16 = 0xffff;
constexpr quint16 descriptorFlag = 0x0008;

quint16 le16(const QByteArray &bytes, int at)
{
    return quint16(quint8(bytes.at(at)) | quint8(bytes.at(at + 1)) << 8);
}
quint32 le32(const QByteArray &bytes, int at)
{
    return quint32(le16(bytes, at)) | quint32(le16(bytes, at + 2)) << 16;
}

QByteArray zip64Field(const QList<quint64> &values)
{
    QByteArray field;
    putLe16(&field, 0x0001);
    putLe16(&field, quint16(values.size() * 8));
    for (const quint64 value : values)
        putLe64(&field, value);
    return field;
}

void putLocalHeader(QByteArray *out, const RawEntry &entry)
{
    const QByteArray &name = entry.localName.isNull() ? entry.name : entry.localName;
    const bool described = entry.descriptor != RawEntry::NoDescriptor;
    const bool sizesHere = !described || !entry.localSizesZero;
    QByteArray extra;
    if (entry.zip64 && sizesHere)
        extra = zip64Field({entry.size, entry.compressedSize});
    extra += entry.localExtra;
    putLe32(out, 0x04034b50);
    putLe16(out, entry.zip64 ? 45 : entry.versionNeeded);
    putLe16(out, quint16(entry.flags | (described ? descriptorFlag : 0)));
    putLe16(out, entry.method);
    putLe16(out, entry.dosTime);
    putLe16(out, entry.dosDate);
    putLe32(out, sizesHere ? entry.crc : 0);
    const quint32 compressed = entry.zip64 ? saturated32 : quint32(entry.compressedSize);
    const quint32 size = entry.zip64 ? saturated32 : quint32(entry.size);
    putLe32(out, sizesHere ? compressed : 0);
    putLe32(out, sizesHere ? size : 0);
    putLe16(out, quint16(name.size()));
    putLe16(out, quint16(extra.size()));
    out->append(name);
    out->append(extra);
}

void putDescriptor(QByteArray *out, const RawEntry &entry)
{
    if (entry.descriptor == RawEntry::SignedDescriptor)
        putLe32(out, 0x08074b50);
    putLe32(out, entry.crc);
    if (entry.zip64) {
        putLe64(out, entry.compressedSize);
        putLe64(out, entry.size);
    } else {
        putLe32(out, quint32(entry.compressedSize));
        putLe32(out, quint32(entry.size));
    }
}

void putCentralHeader(QByteArray *out, const RawEntry &entry, quint64 localOffset)
{
    const bool described = entry.descriptor != RawEntry::NoDescriptor;
    QByteArray extra;
    if (entry.zip64)
        extra = zip64Field({entry.size, entry.compressedSize, localOffset});
    extra += entry.centralExtra;
    putLe32(out, 0x02014b50);
    putLe16(out, entry.madeBy);
    putLe16(out, entry.zip64 ? 45 : entry.versionNeeded);
    putLe16(out, quint16(entry.flags | (described ? descriptorFlag : 0)));
    putLe16(out, entry.method);
    putLe16(out, entry.dosTime);
    putLe16(out, entry.dosDate);
    putLe32(out, entry.crc);
    putLe32(out, entry.zip64 ? saturated32 : quint32(entry.compressedSize));
    putLe32(out, entry.zip64 ? saturated32 : quint32(entry.size));
    putLe16(out, quint16(entry.name.size()));
    putLe16(out, quint16(extra.size()));
    putLe16(out, quint16(entry.comment.size()));
    putLe16(out, 0); // disk
    putLe16(out, entry.internalAttributes);
    putLe32(out, entry.externalAttributes);
    putLe32(out, entry.zip64 ? saturated32 : quint32(localOffset));
    out->append(entry.name);
    out->append(extra);
    out->append(entry.comment);
}

} // namespace

void putLe16(QByteArray *bytes, quint16 value)
{
    bytes->append(char(value & 0xff));
    bytes->append(char(value >> 8));
}

void putLe32(QByteArray *bytes, quint32 value)
{
    putLe16(bytes, quint16(value));
    putLe16(bytes, quint16(value >> 16));
}

void putLe64(QByteArray *bytes, quint64 value)
{
    putLe32(bytes, quint32(value));
    putLe32(bytes, quint32(value >> 32));
}

QByteArray buildZip(const RawArchive &archive, RawLayout *layout)
{
    RawLayout where;
    QByteArray out = archive.prefix;
    for (const RawEntry &entry : archive.entries) {
        where.localOffsets.append(quint64(out.size()));
        putLocalHeader(&out, entry);
        out.append(entry.data);
        if (entry.descriptor != RawEntry::NoDescriptor)
            putDescriptor(&out, entry);
    }
    out.append(archive.beforeDirectory);
    where.directoryOffset = quint64(out.size());
    for (int i = 0; i < archive.entries.size(); ++i) {
        where.centralOffsets.append(quint64(out.size()));
        putCentralHeader(&out, archive.entries.at(i), where.localOffsets.at(i));
    }
    const quint64 count = quint64(archive.entries.size());
    const quint64 directorySize = quint64(out.size()) - where.directoryOffset;
    const bool saturate = archive.zip64End && archive.saturateEnd;
    if (archive.zip64End) {
        const quint64 recordOffset = quint64(out.size());
        putLe32(&out, 0x06064b50);
        putLe64(&out, 44);
        putLe16(&out, 0x031e);
        putLe16(&out, 45);
        putLe32(&out, 0);
        putLe32(&out, 0);
        putLe64(&out, count);
        putLe64(&out, count);
        putLe64(&out, directorySize);
        putLe64(&out, where.directoryOffset);
        putLe32(&out, 0x07064b50);
        putLe32(&out, 0);
        putLe64(&out, recordOffset);
        putLe32(&out, 1);
    }
    where.endOffset = quint64(out.size());
    const quint16 narrowCount = saturate || count > saturated16 ? saturated16 : quint16(count);
    putLe32(&out, 0x06054b50);
    putLe16(&out, 0);
    putLe16(&out, 0);
    putLe16(&out, narrowCount);
    putLe16(&out, narrowCount);
    putLe32(&out, saturate ? saturated32 : quint32(directorySize));
    putLe32(&out, saturate ? saturated32 : quint32(where.directoryOffset));
    putLe16(&out, quint16(archive.comment.size()));
    out.append(archive.comment);
    out.append(archive.suffix);
    if (layout)
        *layout = where;
    return out;
}

bool parseZip(const QByteArray &bytes, RawArchive *archive)
{
    *archive = RawArchive();
    const int endAt = bytes.size() - 22;
    if (endAt < 0 || le32(bytes, endAt) != 0x06054b50)
        return false;
    const int count = le16(bytes, endAt + 10);
    int at = int(le32(bytes, endAt + 16));
    for (int i = 0; i < count; ++i) {
        if (at < 0 || at + 46 > endAt || le32(bytes, at) != 0x02014b50)
            return false;
        RawEntry entry;
        entry.madeBy = le16(bytes, at + 4);
        entry.versionNeeded = le16(bytes, at + 6);
        entry.flags = le16(bytes, at + 8) & ~descriptorFlag;
        entry.method = le16(bytes, at + 10);
        entry.dosTime = le16(bytes, at + 12);
        entry.dosDate = le16(bytes, at + 14);
        entry.crc = le32(bytes, at + 16);
        entry.compressedSize = le32(bytes, at + 20);
        entry.size = le32(bytes, at + 24);
        const int nameLength = le16(bytes, at + 28);
        const int extraLength = le16(bytes, at + 30);
        const int commentLength = le16(bytes, at + 32);
        entry.internalAttributes = le16(bytes, at + 36);
        entry.externalAttributes = le32(bytes, at + 38);
        const int localAt = int(le32(bytes, at + 42));
        entry.name = bytes.mid(at + 46, nameLength);
        entry.centralExtra = bytes.mid(at + 46 + nameLength, extraLength);
        entry.comment = bytes.mid(at + 46 + nameLength + extraLength, commentLength);
        if (localAt < 0 || localAt + 30 > bytes.size() || le32(bytes, localAt) != 0x04034b50)
            return false;
        const int localName = le16(bytes, localAt + 26);
        const int localExtra = le16(bytes, localAt + 28);
        entry.localExtra = bytes.mid(localAt + 30 + localName, localExtra);
        const int dataAt = localAt + 30 + localName + localExtra;
        if (entry.compressedSize > quint64(bytes.size() - dataAt))
            return false;
        entry.data = bytes.mid(dataAt, int(entry.compressedSize));
        archive->entries.append(entry);
        at += 46 + nameLength + extraLength + commentLength;
    }
    return true;
}
