#include "extrafields.h"

#include "littleendian.h"

#include <zlib.h>

namespace {

constexpr int fieldHeaderSize = 4;
constexpr int mostPadding = 3;

// Walks the fields; returns where the walk stopped: at the first byte that
// starts no whole field.
template<typename Visit>
int walkFields(const QByteArray &block, Visit visit)
{
    int at = 0;
    while (block.size() - at >= fieldHeaderSize) {
        const quint16 id = le16(block.constData() + at);
        const int length = le16(block.constData() + at + 2);
        if (length > block.size() - at - fieldHeaderSize)
            break;
        if (!visit(id, block.mid(at + fieldHeaderSize, length)))
            break;
        at += fieldHeaderSize + length;
    }
    return at;
}

} // namespace

bool extraFieldsTile(const QByteArray &block)
{
    const int end = walkFields(block, [](quint16, const QByteArray &) { return true; });
    const int tail = block.size() - end;
    return tail == 0 || (tail <= mostPadding && block.mid(end).count('\0') == tail);
}

QList<ExtraField> extraFields(const QByteArray &block)
{
    QList<ExtraField> fields;
    walkFields(block, [&fields](quint16 id, const QByteArray &data) {
        fields.append({id, data});
        return true;
    });
    return fields;
}

QByteArray extraField(const QByteArray &block, quint16 id)
{
    QByteArray found;
    walkFields(block, [&found, id](quint16 fieldId, const QByteArray &data) {
        if (fieldId != id)
            return true;
        // Never null, also when the field is empty.
        found = data.isNull() ? QByteArray("") : data;
        return false;
    });
    return found;
}

QList<QByteArray> unicodePathNames(const QByteArray &block, const QByteArray &rawName)
{
    // Version (1), the CRC-32 of the stored name, the name. Readers do not
    // agree on the version (unzip refuses any above 1, bsdtar reads any), so
    // it decides nothing here.
    constexpr int nameStart = 5;
    QList<QByteArray> names;
    if (block.isEmpty())
        return names;
    const quint32 nameCrc = quint32(
        crc32(0, reinterpret_cast<const Bytef *>(rawName.constData()), uInt(rawName.size())));
    for (const ExtraField &field : extraFields(block)) {
        if (field.id == unicodePathId && field.data.size() >= nameStart
            && le32(field.data.constData() + 1) == nameCrc)
            names.append(field.data.mid(nameStart));
    }
    return names;
}

bool extendedModifiedTime(const QByteArray &block, qint64 *seconds)
{
    // Flags (bit 0: the modification time follows), then the time as 32 bits.
    const QByteArray data = extraField(block, extendedTimestampId);
    if (data.size() < 5 || !(quint8(data.at(0)) & 1))
        return false;
    const quint32 time = le32(data.constData() + 1);
    if (time & 0x80000000u)
        return false;
    *seconds = qint64(time);
    return true;
}

bool ntfsModifiedTime(const QByteArray &block, qint64 *seconds)
{
    // Four reserved bytes, then tagged attributes; tag 1 holds the times of
    // modification, access and creation as FILETIMEs: 100 ns since 1601 UTC.
    constexpr quint16 timesTag = 1;
    constexpr quint64 ticksPerSecond = 10000000;
    constexpr qint64 secondsFrom1601To1970 = 11644473600;
    const QByteArray data = extraField(block, ntfsExtraId);
    int at = 4;
    while (data.size() - at >= fieldHeaderSize) {
        const quint16 tag = le16(data.constData() + at);
        const int length = le16(data.constData() + at + 2);
        at += fieldHeaderSize;
        if (length > data.size() - at)
            return false;
        if (tag == timesTag) {
            if (length < 8)
                return false;
            const quint64 ticks = le64(data.constData() + at);
            if (ticks == 0)
                return false;
            *seconds = qint64(ticks / ticksPerSecond) - secondsFrom1601To1970;
            return true;
        }
        at += length;
    }
    return false;
}
