// The ZIP layer alone, without the package layer above it: crafted archives
// read from memory, each refused with the zip layer's own problem code.
#include "bytesource.h"
#include "entryreader.h"
#include "zipcontainer.h"

#include <QTest>

#include <zlib.h>

namespace {

QByteArray le16(quint16 v)
{
    const char bytes[2] = {char(v), char(v >> 8)};
    return QByteArray(bytes, 2);
}

QByteArray le32(quint32 v)
{
    return le16(quint16(v)) + le16(quint16(v >> 16));
}

quint32 crcOf(const QByteArray &data)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size())));
}

// How a crafted archive departs from an honest one.
struct Craft
{
    QByteArray before; // bytes before the first entry
    QByteArray after; // bytes after the end record
    QByteArray comment;
    QByteArray centralExtra;
    quint32 localCrcXor = 0;
    QByteArray storedTail; // bytes after the stored data, inside the entry
};

// One stored entry "a.txt" holding "hello", its central directory and end
// record, changed as craft says.
QByteArray archive(const Craft &craft)
{
    const QByteArray name = "a.txt", data = "hello" + craft.storedTail;
    const quint32 crc = crcOf("hello");
    const quint32 size = quint32(data.size());
    QByteArray local = le32(0x04034b50) + le16(10) + le16(0) + le16(0) + le16(0) + le16(0x21)
        + le32(crc ^ craft.localCrcXor) + le32(size) + le32(size) + le16(quint16(name.size()))
        + le16(0) + name + data;
    QByteArray central = le32(0x02014b50) + le16(0x031e) + le16(10) + le16(0) + le16(0)
        + le16(0) + le16(0x21) + le32(crc) + le32(size) + le32(size)
        + le16(quint16(name.size())) + le16(quint16(craft.centralExtra.size())) + le16(0)
        + le16(0) + le16(0) + le32(0100644u << 16) + le32(quint32(craft.before.size())) + name
        + craft.centralExtra;
    const quint32 directoryAt = quint32(craft.before.size() + local.size());
    QByteArray end = le32(0x06054b50) + le16(0) + le16(0) + le16(1) + le16(1)
        + le32(quint32(central.size())) + le32(directoryAt)
        + le16(quint16(craft.comment.size())) + craft.comment;
    return craft.before + local + central + end + craft.after;
}

} // namespace

class ZipLayerTest : public QObject
{
    Q_OBJECT

private slots:
    void containers_data();
    void containers();
};

void ZipLayerTest::containers_data()
{
    using P = ZipProblem;
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("what");

    QTest::newRow("honest") << archive({}) << int(P::None) << int(P::Unspecified);
    Craft c;
    c.after = QByteArray(512, '\0');
    QTest::newRow("zero padding after the end") << archive(c) << int(P::None) << int(P::Unspecified);
    c.after = "junk";
    QTest::newRow("bytes after the end") << archive(c) << int(P::DataAfterEnd) << int(P::Unspecified);
    c = Craft();
    c.before = "MZ stub";
    QTest::newRow("bytes before the first entry")
        << archive(c) << int(P::DataBeforeEntries) << int(P::Unspecified);
    c = Craft();
    c.comment = "PK\x05\x06";
    QTest::newRow("an end record in the comment")
        << archive(c) << int(P::CommentHoldsEndRecord) << int(P::Unspecified);
    c = Craft();
    c.localCrcXor = 1;
    QTest::newRow("local CRC-32 differs") << archive(c) << int(P::LocalHeaderMismatch)
                                          << int(P::CrcField);
    c = Craft();
    c.centralExtra = le16(0x5455) + le16(9) + "\x01";
    QTest::newRow("extra field runs past its block")
        << archive(c) << int(P::ExtraFieldInvalid) << int(P::CentralHeader);
    QTest::newRow("cut short") << archive({}).left(40) << int(P::NotZip) << int(P::NoEndRecord);
}

void ZipLayerTest::containers()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, code);
    QFETCH(int, what);
    const auto source = std::make_shared<MemoryByteSource>(bytes);
    ZipContainer container;
    const ZipProblem problem = readZipContainer(*source, &container);
    QCOMPARE(int(problem.code), code);
    QCOMPARE(int(problem.what), what);
    if (problem.failed())
        return;
    // What the container took, its one entry reads back exactly.
    QCOMPARE(container.entries.size(), 1);
    EntryReader reader(source, container.entries.first());
    QByteArray plain;
    reader.collectPlainBytes(&plain);
    QCOMPARE(int(drainEntry(&reader, [](quint64) { return true; }).code), int(ZipProblem::None));
    QCOMPARE(plain, QByteArray("hello"));
}

QTEST_GUILESS_MAIN(ZipLayerTest)
#include "tst_ziplayer.moc"
