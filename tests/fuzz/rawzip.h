#ifndef RAWZIP_H
#define RAWZIP_H

// A ZIP archive taken apart into its records and put together again with any
// layout. The structured fuzzer lets libzip compress and checksum the entries,
// then lays them out as other writers do (data descriptors, sizes in ZIP64
// fields) or as hostile ones do (names libzip would not write, bytes where no
// reader looks); the regression test builds packages too large to keep.
#include <QByteArray>
#include <QList>

struct RawEntry
{
    QByteArray name;
    QByteArray localName; // the local header's name when it is to differ (null: the same)
    quint16 madeBy = 0x031e; // Unix, 3.0
    quint16 versionNeeded = 20;
    quint16 flags = 0; // bit 3 is set here when the entry has a descriptor
    quint16 method = 0;
    quint16 dosTime = 0;
    quint16 dosDate = 0x21; // 1980-01-01
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    quint16 internalAttributes = 0;
    quint32 externalAttributes = 0100644u << 16;
    QByteArray data; // the stored bytes
    QByteArray localExtra;
    QByteArray centralExtra;
    QByteArray comment;

    enum Descriptor { NoDescriptor, PlainDescriptor, SignedDescriptor };
    Descriptor descriptor = NoDescriptor;
    // With a descriptor: CRC-32 and sizes are 0 in the local header (as Java
    // writes it), or there too (as bsdtar does).
    bool localSizesZero = true;
    // Sizes (and in the central header the offset) in ZIP64 extra fields, and
    // a descriptor with 64-bit sizes.
    bool zip64 = false;
};

struct RawArchive
{
    QList<RawEntry> entries;
    QByteArray prefix; // before the first entry (offsets count it)
    QByteArray beforeDirectory; // between the last entry and the central directory
    QByteArray comment;
    QByteArray suffix; // after the end record and its comment
    bool zip64End = false; // a ZIP64 end record and its locator
    bool saturateEnd = false; // with zip64End: the end record's fields all saturated
};

// Where build() put the records, for mutating them afterwards.
struct RawLayout
{
    QList<quint64> localOffsets;
    QList<quint64> centralOffsets;
    quint64 directoryOffset = 0;
    quint64 endOffset = 0;
};

QByteArray buildZip(const RawArchive &archive, RawLayout *layout = nullptr);

// Takes apart an archive as libzip writes it: entries one after the other,
// each with its local header, no descriptors, no ZIP64. False on anything else.
bool parseZip(const QByteArray &bytes, RawArchive *archive);

void putLe16(QByteArray *bytes, quint16 value);
void putLe32(QByteArray *bytes, quint32 value);
void putLe64(QByteArray *bytes, quint64 value);

#endif // RAWZIP_H
