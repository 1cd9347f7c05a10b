// A package beyond the 4 GiB limit of the classic ZIP records, built through
// the window and read back by every reader of the matrix. The package is
// built once; each reader is a row of its own, since one reader may take a
// minute over 4.5 GiB.
#include "combinedpackage.h"
#include "mainwindow.h"
#include "readermatrix.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

class Zip64Test : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void headersMarkOnlyTheLargeEntryAsZip64();
    void everyReaderGetsWhatWasPacked_data();
    void everyReaderGetsWhatWasPacked();
    void headersPastFourGiBAgree();
    void cleanupTestCase();

private:
    // Removed, big files included, when the test ends whatever its outcome.
    std::unique_ptr<TestFolder> folder;
    QString archive;
    ExpectedEntries expected;
};

void Zip64Test::initTestCase()
{
    folder = std::make_unique<TestFolder>();
    const qint64 size = 4LL * 1024 * 1024 * 1024 + 512LL * 1024 * 1024;
    const QByteArray head = "BEGIN-OF-BACKUP-";
    const QByteArray tail = "END-OF-THE-BACKUP";
    const QString big = folder->path("in/robot_backup.bin");
    {
        // Written at both ends only: the gap is a hole and costs no disk.
        QVERIFY(QDir().mkpath("in") && QDir().mkpath("out"));
        QFile file(big);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(head), qint64(head.size()));
        QVERIFY(file.resize(size - tail.size()));
        QVERIFY(file.seek(size - tail.size()));
        QCOMPARE(file.write(tail), qint64(tail.size()));
    }
    folder->write("in/hmi.zip", "hmi v2");

    {
        MainWindow window;
        WindowDriver driver(&window);
        ModalWatcher watcher;
        driver.pathEdit()->setText("out");
        driver.nameEdit()->setText("pkg");
        driver.setRows({{2, "in/robot_backup.bin"}, {0, "in/hmi.zip"}});
        driver.startButton()->click();
        QVERIFY(watcher.waitForMessages(1, 540000));
        QCOMPARE(watcher.messages.first().title, QStringLiteral("打包成功"));
        QCOMPARE(watcher.messages.first().text, QStringLiteral("升级包打包成功"));
    }
    archive = folder->path("out/pkg.zip");
    expected = expectedEntries({{"hmi.zip", "hmi v2"}});
    expected << expectedFileEntry("robot_backup.bin", big);
    QCOMPARE(expected.last().size, quint64(size));
    expected << expectedEntries({{"upgrade_package_config.json",
                                  R"({"hmi":{"name":"hmi.zip"},)"
                                  R"("robot_configuration":{"name":"robot_backup.bin"}})"}});
}

void Zip64Test::headersMarkOnlyTheLargeEntryAsZip64()
{
    const QStringList problems = headerProblems(archive, {"robot_backup.bin"});
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

void Zip64Test::everyReaderGetsWhatWasPacked_data()
{
    QTest::addColumn<QString>("reader");
    for (const QString &reader : readerNames())
        QTest::newRow(qPrintable(reader)) << reader;
}

void Zip64Test::everyReaderGetsWhatWasPacked()
{
    QFETCH(QString, reader);
    const QStringList problems = readerProblems(archive, expected, {reader});
    // An entry over 4 GiB must keep its sizes in the ZIP64 extra field, with
    // 0xFFFFFFFF in the local header's own fields; busybox 1.35 reading a
    // stream takes that for the compressed size and runs out of data.
    if (reader == QLatin1String("busybox unzip from a pipe"))
        QEXPECT_FAIL("", "busybox unzip cannot stream a ZIP64 entry", Continue);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

// A combined package whose first entry holds 4.25 GiB as stored deflate
// blocks, the data between their headers left as holes so that it costs
// little disk; after it come small entries.
static const char bigPackageScript[] = R"(
import struct, sys, zlib
path, size = sys.argv[1], (4 << 30) + (256 << 20)
name, block = b'robot_backup.bin', 65535
sizes = [block] * (size // block) + ([size % block] if size % block else [])
crc, zeros = 0, bytes(block)
for n in sizes:
    crc = zlib.crc32(zeros[:n], crc)
csize = size + 5 * len(sizes)
out = open(path, 'wb')
out.write(struct.pack('<IHHHHHIIIHH', 0x04034b50, 45, 0, 8, 0, 0x5821, crc, 0xffffffff,
                      0xffffffff, len(name), 20) + name + struct.pack('<HHQQ', 1, 16, size, csize))
at = out.tell()
for i, n in enumerate(sizes):
    out.seek(at)
    out.write(struct.pack('<BHH', 1 if i == len(sizes) - 1 else 0, n, n ^ 0xffff))
    at += 5 + n
out.truncate(at)
out.seek(at)
entries = [(name, crc, csize, size, 0, 8)]
for small, data in ((b'hmi.zip', b'hmi v2'),
                    (b'upgrade_package_config.json',
                     b'{"dravo":{"name":"robot_backup.bin"},"hmi":{"name":"hmi.zip"}}')):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    raw = c.compress(data) + c.flush()
    entries.append((small, zlib.crc32(data), len(raw), len(data), out.tell(), 8))
    out.write(struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, 8, 0, 0x5821, zlib.crc32(data),
                          len(raw), len(data), len(small), 0) + small + raw)
cd = out.tell()
for n, crc, c, u, offset, method in entries:
    wide = [u] * (u >= 0xffffffff) + [c] * (c >= 0xffffffff) + [offset] * (offset >= 0xffffffff)
    extra = struct.pack('<HH', 1, 8 * len(wide)) + b''.join(struct.pack('<Q', v) for v in wide)
    out.write(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x032d, 45, 0, method, 0, 0x5821, crc,
                          min(c, 0xffffffff), min(u, 0xffffffff), len(n), len(extra), 0, 0, 0,
                          0o100644 << 16, min(offset, 0xffffffff)) + n + extra)
cd_size = out.tell() - cd
record = out.tell()
out.write(struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 0x032d, 45, 0, 0, 3, 3, cd_size, cd))
out.write(struct.pack('<IIQI', 0x07064b50, 0, record, 1))
out.write(struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 3, 3, cd_size, 0xffffffff, 0))
)";

// Entries whose headers lie past 4 GiB need ZIP64 in their central header
// only; their local headers still say the same version as the central ones.
void Zip64Test::headersPastFourGiBAgree()
{
    QByteArray output;
    QCOMPARE(runProgram("python3", {"-c", bigPackageScript, "in/big.zip"}, &output), 0);
    folder->write("in/logo.png", "logo");
    QCOMPARE(runProgram(CLI_EXECUTABLE,
                        {"build", "--output-dir", "out", "--name", "merged", "--item",
                         "combined=in/big.zip", "--item", "logo=in/logo.png"},
                        &output),
             0);
    QFile::remove("in/big.zip");
    const QString merged = folder->path("out/merged.zip");
    const QStringList problems
        = headerProblems(merged,
                         {"robot_backup.bin", "hmi.zip@central", "logo.png@central",
                          "upgrade_package_config.json@central"});
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    QVERIFY(inspectPackage(merged).taken());
    QFile::remove(merged);
}

void Zip64Test::cleanupTestCase()
{
    folder.reset();
}

QTEST_MAIN(Zip64Test)
#include "tst_zip64_slow.moc"
