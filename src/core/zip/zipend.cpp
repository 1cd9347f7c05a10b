#include "zipend.h"

#include "zipformat.h"

#include <QByteArray>
#include <QList>

#include <cstring>

using namespace zipformat;

namespace {

using P = ZipProblem;

constexpr quint64 endRecordSize = 22;
constexpr quint64 zip64LocatorSize = 20;
constexpr quint64 zip64EndMinimumSize = 56;
constexpr quint64 directoryLimit = 64 * 1024 * 1024;

class EndLocator
{
public:
    explicit EndLocator(const ByteSource &source)
        : source(source)
    {
    }

    CentralDirectoryPlace place() const { return {cdOffset, cdSize, count}; }

    ZipProblem run()
    {
        const quint64 size = source.size();
        if (size < endRecordSize)
            return notZip(P::NoEndRecord);
        const quint64 tailLength = qMin<quint64>(size, endRecordSize + 0xffff);
        const quint64 tailStart = size - tailLength;
        QByteArray tail;
        if (!read(tailStart, tailLength, &tail))
            return readFailure();
        // The end record is the one that ends the file with its comment; an
        // end record inside that comment, or one whose comment holds this
        // one, would let two readers take different ones. Zero bytes after
        // it are padding (bsdtar pads what it writes to a pipe to its block
        // size): readers search the last 65,557 bytes for the end record, and
        // the tail read here is those bytes, so they all find it.
        qint64 contentEnd = tail.size();
        while (contentEnd > 0 && tail.at(int(contentEnd - 1)) == '\0')
            --contentEnd;
        bool signatureSeen = false;
        QList<qint64> ending;
        for (qint64 at = qint64(tailLength - endRecordSize); at >= 0; --at) {
            const char *p = tail.constData() + at;
            if (le32(p) != endSignature)
                continue;
            signatureSeen = true;
            const qint64 recordEnd = at + qint64(endRecordSize) + le16(p + 20);
            if (recordEnd >= contentEnd && recordEnd <= tail.size())
                ending.append(at);
        }
        if (ending.isEmpty())
            return signatureSeen ? refuse(P::DataAfterEnd) : notZip(P::NoEndRecord);
        const qint64 at = ending.first();
        if (ending.size() > 1 || tail.mid(int(at + endRecordSize)).contains("PK\x05\x06"))
            return refuse(P::CommentHoldsEndRecord);
        const char *end = tail.constData() + at;
        endOffset = tailStart + quint64(at);

        const quint16 disk = le16(end + 4);
        const quint16 directoryDisk = le16(end + 6);
        const quint16 entriesOnDisk = le16(end + 8);
        const quint16 entries = le16(end + 10);
        const quint32 directorySize = le32(end + 12);
        const quint32 directoryOffset = le32(end + 16);
        count = entries;
        cdSize = directorySize;
        cdOffset = directoryOffset;
        directoryEnd = endOffset;

        QByteArray locator;
        const bool hasLocator = endOffset >= zip64LocatorSize
            && read(endOffset - zip64LocatorSize, zip64LocatorSize, &locator)
            && le32(locator.constData()) == zip64LocatorSignature;
        if (hasLocator) {
            const ZipProblem f = readZip64(locator, disk, directoryDisk, entriesOnDisk);
            if (f.failed())
                return f;
        } else if (disk != 0 || directoryDisk != 0 || entriesOnDisk != entries) {
            return notZip(P::SplitArchive);
        }
        if (count > quint64(maximumEntryCount))
            return refuse(P::TooManyEntries, QString::number(count));
        if (cdOffset > directoryEnd || cdSize != directoryEnd - cdOffset)
            return notZip(P::DirectoryMisplaced);
        if (cdSize > directoryLimit)
            return refuse(P::DirectoryTooLarge);
        return ZipProblem();
    }

private:
    static ZipProblem refuse(P::Code code, const QString &detail = QString())
    {
        return ZipProblem::of(code, QString(), P::Unspecified, detail);
    }
    static ZipProblem notZip(P::What what) { return ZipProblem::of(P::NotZip, QString(), what); }

    bool read(quint64 offset, quint64 length, QByteArray *out) const
    {
        return readBytes(source, offset, length, out);
    }
    ZipProblem readFailure() const { return readProblem(source); }

    // A ZIP64 end record stands right before its locator, and agrees with
    // every field of the end record that is not saturated.
    ZipProblem readZip64(const QByteArray &locator, quint16 disk, quint16 directoryDisk,
                         quint16 entriesOnDisk)
    {
        const quint64 locatorOffset = endOffset - zip64LocatorSize;
        const quint64 recordOffset = le64(locator.constData() + 8);
        const quint32 disks = le32(locator.constData() + 16);
        QByteArray record;
        if (le32(locator.constData() + 4) != 0 || disks > 1 || recordOffset > locatorOffset
            || locatorOffset - recordOffset < zip64EndMinimumSize
            || !read(recordOffset, zip64EndMinimumSize, &record)
            || le32(record.constData()) != zip64EndSignature
            || le64(record.constData() + 4) != locatorOffset - recordOffset - 12)
            return refuse(P::Zip64Mismatch);
        const char *r = record.constData();
        const quint32 disk64 = le32(r + 16);
        const quint32 directoryDisk64 = le32(r + 20);
        const quint64 entriesOnDisk64 = le64(r + 24);
        const quint64 entries64 = le64(r + 32);
        const quint64 size64 = le64(r + 40);
        const quint64 offset64 = le64(r + 48);
        const auto agrees = [](quint64 narrow, quint64 saturated, quint64 wide) {
            return narrow == saturated || narrow == wide;
        };
        if (!agrees(disk, saturated16, disk64)
            || !agrees(directoryDisk, saturated16, directoryDisk64)
            || !agrees(entriesOnDisk, saturated16, entriesOnDisk64)
            || !agrees(count, saturated16, entries64) || !agrees(cdSize, saturated32, size64)
            || !agrees(cdOffset, saturated32, offset64))
            return refuse(P::Zip64Mismatch);
        if (disk64 != 0 || directoryDisk64 != 0 || entriesOnDisk64 != entries64)
            return notZip(P::SplitArchive);
        count = entries64;
        cdSize = size64;
        cdOffset = offset64;
        directoryEnd = recordOffset;
        return ZipProblem();
    }

    const ByteSource &source;
    quint64 endOffset = 0;
    quint64 directoryEnd = 0;
    quint64 count = 0;
    quint64 cdSize = 0;
    quint64 cdOffset = 0;
};

} // namespace

ZipProblem locateCentralDirectory(const ByteSource &source, CentralDirectoryPlace *place)
{
    EndLocator locator(source);
    const ZipProblem f = locator.run();
    *place = locator.place();
    return f;
}
