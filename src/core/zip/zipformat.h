#ifndef ZIPFORMAT_H
#define ZIPFORMAT_H

// The fixed parts of the ZIP format that the readers of its headers share.

#include "bytesource.h"
#include "extrafields.h"
#include "littleendian.h"
#include "zipproblem.h"

#include <QByteArray>

namespace zipformat {

constexpr quint32 localSignature = 0x04034b50;
constexpr quint32 centralSignature = 0x02014b50;
constexpr quint32 descriptorSignature = 0x08074b50;
constexpr quint32 endSignature = 0x06054b50;
constexpr quint32 zip64EndSignature = 0x06064b50;
constexpr quint32 zip64LocatorSignature = 0x07064b50;

constexpr quint64 centralHeaderSize = 46;
constexpr quint64 localHeaderSize = 30;
constexpr quint16 descriptorFlag = 0x0008;
constexpr quint16 utf8Flag = 0x0800;
constexpr quint32 saturated32 = 0xffffffff;
constexpr quint16 saturated16 = 0xffff;

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

// Exactly length bytes at offset, within the source; false past its end, or
// when reading fails.
inline bool readBytes(const ByteSource &source, quint64 offset, quint64 length, QByteArray *out)
{
    if (offset > source.size() || length > source.size() - offset)
        return false;
    out->resize(int(length));
    return source.readAt(offset, out->data(), length);
}

// Why bytes the archive's structure needs could not be read: the system's
// error, or a file shorter than it says it is.
inline ZipProblem readProblem(const ByteSource &source)
{
    if (source.lastError().failed())
        return ZipProblem::of(ZipProblem::ReadError, QString(), ZipProblem::Unspecified,
                              source.lastError().words);
    return ZipProblem::of(ZipProblem::NotZip, QString(), ZipProblem::Truncated);
}

} // namespace zipformat

#endif // ZIPFORMAT_H
