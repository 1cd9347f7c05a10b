// Packages beyond the 4 GiB limit of the classic ZIP records, built through
// the window and read back by tools that share no code with the writer, and
// small packages that keep the classic layout every controller reads.
#include "archivewriter.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

class Zip64Test : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void itemLargerThan4GiBIsReadByOtherTools();
    void smallPackageHasNoZip64Records();
};

void Zip64Test::initTestCase()
{
    for (const char *tool : {"unzip", "python3", "bsdtar", "bash"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
    }
}

void Zip64Test::itemLargerThan4GiBIsReadByOtherTools()
{
    // The temporary folder, big files included, is removed when the test ends
    // whatever its outcome.
    TestFolder folder;
    const qint64 size = 4LL * 1024 * 1024 * 1024 + 512LL * 1024 * 1024;
    const QByteArray head = "BEGIN-OF-BACKUP-";
    const QByteArray tail = "END-OF-THE-BACKUP";
    {
        // Written at both ends only: the gap is a hole and costs no disk.
        QDir().mkpath("in");
        QFile big(folder.path("in/robot_backup.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QCOMPARE(big.write(head), qint64(head.size()));
        QVERIFY(big.resize(size - tail.size()));
        QVERIFY(big.seek(size - tail.size()));
        QCOMPARE(big.write(tail), qint64(tail.size()));
        big.close();
        QCOMPARE(big.size(), size);
    }
    QDir().mkpath("out");

    {
        MainWindow window;
        WindowDriver driver(&window);
        ModalWatcher watcher;
        driver.pathEdit()->setText("out");
        driver.nameEdit()->setText("pkg");
        driver.setRows({{2, "in/robot_backup.bin"}});
        driver.startButton()->click();
        QVERIFY(watcher.waitForMessages(1, 540000));
        QCOMPARE(watcher.messages.first().title, QStringLiteral("打包成功"));
        QCOMPARE(watcher.messages.first().text, QStringLiteral("升级包打包成功"));
    }
    const QString archive = folder.path("out/pkg.zip");
    const QByteArray manifest = R"({"robot_configuration":{"name":"robot_backup.bin"}})";

    QByteArray output;
    QVERIFY2(runProgram("unzip", {"-t", archive}, &output) == 0, output.constData());
    QVERIFY2(output.contains("No errors detected"), output.constData());

    // Whole-archive CRC check, the recorded sizes, and the first bytes.
    const char *script = "import zipfile, sys\n"
                         "z = zipfile.ZipFile(sys.argv[1])\n"
                         "assert z.testzip() is None\n"
                         "for i in z.infolist(): print(i.filename, i.file_size, i.compress_type)\n"
                         "print(z.open('robot_backup.bin').read(16).decode())\n";
    QVERIFY2(runProgram("python3", {"-c", script, archive}, &output) == 0, output.constData());
    QCOMPARE(output,
             QByteArray("robot_backup.bin " + QByteArray::number(size)
                        + " 8\n"
                          "upgrade_package_config.json "
                        + QByteArray::number(manifest.size()) + " 8\n" + head + "\n"));

    // A streaming reader sees only the local headers and data descriptors.
    // It writes all entries to one stream, which must end with the item's last
    // bytes followed by the manifest; pipefail makes bsdtar's exit code count.
    const QString stream = QStringLiteral("set -o pipefail; cat '%1' | bsdtar -xOf - | tail -c %2")
                               .arg(archive)
                               .arg(tail.size() + manifest.size());
    QVERIFY2(runProgram("bash", {"-c", stream}, &output) == 0, output.constData());
    QCOMPARE(output, tail + manifest);

    QVERIFY(QFile::remove(archive));
    QVERIFY(QFile::remove(folder.path("in/robot_backup.bin")));
}

void Zip64Test::smallPackageHasNoZip64Records()
{
    TestFolder folder;
    QByteArray text;
    for (int i = 0; i < 5000; ++i)
        text += "servo parameter " + QByteArray::number(i) + "\n";
    const QStringList sources
        = {folder.write("in/servo_cfg.zip", text),
           folder.write("in/upgrade_package_config.json", R"({"servo":{"name":"servo_cfg.zip"}})")};
    QVERIFY(writeArchive(folder.path("pkg.zip"), sources));

    // Looks for the ZIP64 extra field (id 1) in the central directory and in
    // every local header, and for the ZIP64 locator before the end record.
    const char *script = "import zipfile, struct, sys\n"
                         "def ids(extra):\n"
                         "    found, at = [], 0\n"
                         "    while at + 4 <= len(extra):\n"
                         "        tag, length = struct.unpack('<HH', extra[at:at + 4])\n"
                         "        found.append(tag)\n"
                         "        at += 4 + length\n"
                         "    return found\n"
                         "z = zipfile.ZipFile(sys.argv[1])\n"
                         "raw = open(sys.argv[1], 'rb').read()\n"
                         "assert len(z.infolist()) == 2\n"
                         "for i in z.infolist():\n"
                         "    assert 1 not in ids(i.extra), i.filename\n"
                         "    name_len, extra_len = struct.unpack('<HH', raw[i.header_offset + "
                         "26:i.header_offset + 30])\n"
                         "    start = i.header_offset + 30 + name_len\n"
                         "    assert 1 not in ids(raw[start:start + extra_len]), i.filename\n"
                         "end = raw.rfind(b'PK\\x05\\x06')\n"
                         "assert end >= 20 and raw[end - 20:end - 16] != b'PK\\x06\\x07'\n";
    QByteArray output;
    QVERIFY2(runProgram("python3", {"-c", script, folder.path("pkg.zip")}, &output) == 0,
             output.constData());
}

QTEST_MAIN(Zip64Test)
#include "tst_zip64_slow.moc"
