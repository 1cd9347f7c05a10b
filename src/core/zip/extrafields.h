#ifndef EXTRAFIELDS_H
#define EXTRAFIELDS_H

#include <QByteArray>
#include <QList>

// The extra fields of a ZIP header: each an id, a length and that many bytes
// of data, one after the other, filling the header's extra block.

constexpr quint16 zip64ExtraId = 0x0001;
constexpr quint16 ntfsExtraId = 0x000a;
constexpr quint16 extendedTimestampId = 0x5455; // "UT"
constexpr quint16 unicodePathId = 0x7075; // "up"

struct ExtraField
{
    quint16 id = 0;
    QByteArray data;
};

// True when the fields fill the block exactly, or leave 1 to 3 zero bytes
// after the last one (padding that aligns the data, as zipalign writes it and
// libzip allows). A field that runs past the block, or any other tail, makes
// readers part: python, bsdtar, 7z and libzip refuse such a header.
bool extraFieldsTile(const QByteArray &block);

// The fields of a block, in order; a tail too short for a field is no field.
QList<ExtraField> extraFields(const QByteArray &block);

// The data of the block's first field of this id; null when there is none.
QByteArray extraField(const QByteArray &block, quint16 id);

// The names that the block's Unicode Path fields give the entry whose stored
// name is rawName, as bytes (UTF-8 when the writer was honest). unzip,
// bsdtar and libzip read an entry under such a name in place of the stored
// one when the field's CRC-32 matches the stored name's bytes; a field whose
// CRC-32 does not match was left behind by a rename and is ignored, by them
// and here.
QList<QByteArray> unicodePathNames(const QByteArray &block, const QByteArray &rawName);

// The modification time, in seconds since 1970 UTC, that the block holds:
// from an extended-timestamp field (UT) whose flags say it holds one, else
// from an NTFS field's first tag. False when there is none, or when it is one
// that readers read differently: a UT time with its top bit set (Info-ZIP's
// tools take it as signed, libarchive as unsigned), an NTFS time of zero.
bool extendedModifiedTime(const QByteArray &block, qint64 *seconds);
bool ntfsModifiedTime(const QByteArray &block, qint64 *seconds);

#endif // EXTRAFIELDS_H
