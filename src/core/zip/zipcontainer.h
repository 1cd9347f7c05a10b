#ifndef ZIPCONTAINER_H
#define ZIPCONTAINER_H

#include "bytesource.h"
#include "zipproblem.h"
#include "zipend.h"

#include <QByteArray>
#include <QList>
#include <QString>

// One entry of a ZIP archive, as its central directory and local header
// (which agree) declare it.
struct ZipEntry
{
    int index = -1; // in central directory order
    QByteArray rawName;
    QString name; // decoded: see readZipContainer()
    // False when the stored name is not valid in the encoding it is read in
    // (GB18030 read back to other bytes); name then holds U+FFFD or less.
    bool nameValid = true;
    quint16 madeBy = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint16 dosTime = 0;
    quint16 dosDate = 0;
    quint32 crc = 0;
    quint32 attributes = 0; // external attributes
    quint64 compressedSize = 0;
    quint64 size = 0;
    quint64 centralOffset = 0; // the central directory header
    quint64 headerOffset = 0; // the local header
    quint64 dataOffset = 0; // the stored data, compressedSize bytes
    // The modification time in UTC, in seconds since 1970, where an extra
    // field holds one: an extended timestamp (UT) in the central header, else
    // in the local header, else an NTFS field's, central before local.
    bool hasUtcModified = false;
    qint64 utcModified = 0;

    bool isFolder() const;
    bool isLink() const;
    bool isEncrypted() const;
    // Unix permission bits when the writer recorded them, else 0644.
    quint32 permissions() const;
};

struct ZipContainer
{
    QList<ZipEntry> entries;
    // True when names without the UTF-8 flag were read as GB18030.
    bool legacyNames = false;
};

// Reads a ZIP archive's structure and refuses, with the first problem found,
// anything that two ZIP readers could read as different archives:
// - what locateCentralDirectory() refuses: bytes after the end record but its
//   comment and zero padding, a second end record, disagreeing ZIP64
//   records, more than one disk, too many entries, too large a directory;
// - anything before the first entry, between entries, or between the entries
//   and the central directory;
// - entries that overlap one another or the central directory, or run past
//   the end of the file;
// - a local header that disagrees with its central entry in name bytes,
//   method, flags, CRC-32 or sizes (which a data descriptor may carry
//   instead: it must then agree);
// - extra fields that do not fill their header's extra block exactly (1 to 3
//   zero bytes of padding may follow them);
// - a name over 1 KiB (before anything is decoded or kept), a name flagged
//   UTF-8 that is not, or a Unicode Path field, meant for the stored name,
//   that gives the entry another name;
// - a size over 2^53, or an empty entry whose CRC-32 is not 0.
// Names flagged UTF-8 are read as UTF-8. The others are read as UTF-8 too,
// unless one of them is not valid UTF-8: then all of them are read as
// GB18030, which is what Chinese Windows tools write.
ZipProblem readZipContainer(const ByteSource &source, ZipContainer *container);

#endif // ZIPCONTAINER_H
