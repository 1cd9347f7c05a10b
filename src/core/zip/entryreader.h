#ifndef ENTRYREADER_H
#define ENTRYREADER_H

#include "bytesource.h"
#include "zipcontainer.h"
#include "zipproblem.h"

#include <QByteArray>
#include <QString>

#include <functional>

#include <memory>

struct zip;
struct zip_file;

// Checks a deflate stream as it goes by: it must end exactly with its last
// compressed byte and inflate to exactly the declared size and CRC-32. It
// stops at the first byte past the declared size, so a bomb costs nothing.
class DeflateCheck
{
public:
    // plain, when given, receives the inflated bytes.
    DeflateCheck(quint64 size, quint32 crc, QByteArray *plain = nullptr);
    ~DeflateCheck();
    DeflateCheck(const DeflateCheck &) = delete;
    DeflateCheck &operator=(const DeflateCheck &) = delete;

    // False at the first problem; problem() then says what it is.
    bool feed(const char *data, quint64 length);
    // After the last compressed byte: true when everything was as declared.
    bool finish();
    ZipProblem::What problem() const { return what; }

private:
    bool fail(ZipProblem::What how);

    struct Stream;
    std::unique_ptr<Stream> stream;
    quint64 expectedSize;
    quint32 expectedCrc;
    QByteArray *plain;
    ZipProblem::What what = ZipProblem::Unspecified;
};

// Reads one entry of a package exactly as the entry declares itself and
// checks it on the way, never past its declared sizes. A deflated entry comes
// out as it is stored (compressed, to be copied as it stands); any other
// comes out uncompressed. The same reading serves inspecting a package and
// copying its entries, so both say the same of every entry.
class EntryReader
{
public:
    EntryReader(std::shared_ptr<const ByteSource> source, const ZipEntry &entry);
    ~EntryReader();
    EntryReader(const EntryReader &) = delete;
    EntryReader &operator=(const EntryReader &) = delete;

    // Whether the bytes come out deflated, as stored.
    bool deliversDeflated() const { return entry.method == methodDeflate; }
    // Bytes read() will deliver in all: what the progress counts.
    quint64 bytesToDeliver() const;

    // Also hands the entry's uncompressed bytes to plain as they are read
    // (for a small entry such as the manifest). Call before open().
    void collectPlainBytes(QByteArray *plain) { plainSink = plain; }

    // Starts (or starts again) from the entry's first byte; false when the
    // entry cannot be read at all (failure() says why).
    bool open();
    // Fills data with up to length bytes: the count, 0 after the last byte
    // once everything was checked, or -1 at the first problem.
    qint64 read(char *data, quint64 length);
    ZipProblem failure() const { return problem; }
    QString entryName() const { return entry.name; }

    // Methods read here without help, and whether any method can be read.
    static constexpr quint16 methodStore = 0;
    static constexpr quint16 methodDeflate = 8;
    static bool canRead(quint16 method);

private:
    qint64 fail(ZipProblem::Code code, ZipProblem::What what = ZipProblem::Unspecified,
                const QString &detail = QString());
    qint64 readStored(char *data, quint64 length);
    qint64 readCompressed(char *data, quint64 length);
    bool openLibzip();
    void closeLibzip();

    std::shared_ptr<const ByteSource> source;
    ZipEntry entry;
    ZipProblem problem;
    quint64 done = 0; // bytes delivered
    quint32 crc = 0; // of the uncompressed bytes, where they pass through here
    bool finished = false;
    std::unique_ptr<DeflateCheck> deflate;
    QByteArray *plainSink = nullptr;
    // Other methods are inflated by libzip, over the same bytes.
    zip *archive = nullptr;
    zip_file *file = nullptr;
    void *sourceState = nullptr;
};

// Reads an entry to its end through reader and says what was wrong, if
// anything. keepGoing hears of every piece read (its byte count) and may stop
// the reading by returning false: the problem is then Cancelled.
ZipProblem drainEntry(EntryReader *reader, const std::function<bool(quint64)> &keepGoing);

#endif // ENTRYREADER_H
