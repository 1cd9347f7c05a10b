// The archive writer: byte-for-byte what the controller already reads for
// ordinary inputs, file content for links, and no harm to an earlier archive.
#include "archivewriter.h"
#include "testsupport.h"

#include <JlCompress.h>

#include <QFile>
#include <QFileInfo>
#include <QTest>

class ArchiveWriterTest : public QObject
{
    Q_OBJECT

private slots:
    void ordinaryInputsGiveTheSameBytesAsCompressFiles();
    void linkedItemIsStoredWithTheFileContent();
    void failureKeepsAnEarlierArchiveAndLeavesNoTemporaryFile();
    void missingFoldersOnTheWayAreCreated();
};

void ArchiveWriterTest::ordinaryInputsGiveTheSameBytesAsCompressFiles()
{
    TestFolder folder;
    QByteArray text;
    for (int i = 0; i < 20000; ++i)
        text += "line " + QByteArray::number(i) + "\n";
    QByteArray noise(300000, '\0');
    quint32 state = 12345;
    for (char &c : noise) {
        state = state * 1103515245u + 12345u;
        c = char(state >> 24);
    }
    const QStringList sources
        = {folder.write("in/ctrl_v5.zip", noise), folder.write("in/sub/hmi_v2.zip", text),
           folder.write("in/empty.bin", QByteArray()),
           folder.write("out/upgrade_package_config.json", "{}")};

    QVERIFY(JlCompress::compressFiles(folder.path("reference.zip"), sources));
    QVERIFY(writeArchive(folder.path("written.zip"), sources));
    const QByteArray reference = readFile(folder.path("reference.zip"));
    QVERIFY(!reference.isEmpty());
    QCOMPARE(readFile(folder.path("written.zip")), reference);

    const QList<ArchiveEntry> entries = readZip(folder.path("written.zip"));
    QCOMPARE(entries.size(), 4);
    QCOMPARE(entries.at(0).name, QStringLiteral("ctrl_v5.zip"));
    QCOMPARE(entries.at(1).name, QStringLiteral("hmi_v2.zip"));
    QCOMPARE(entries.at(1).data, text);
    QCOMPARE(entries.at(3).name, QStringLiteral("upgrade_package_config.json"));
    for (const ArchiveEntry &entry : entries)
        QCOMPARE(entry.method, 8);
}

void ArchiveWriterTest::linkedItemIsStoredWithTheFileContent()
{
    TestFolder folder;
    const QString target = folder.write("real/servo_cfg_v3.zip", "servo parameters");
    QVERIFY(QFile::link(target, folder.path("servo_cfg.zip")));

    QVERIFY(writeArchive(folder.path("pkg.zip"), {folder.path("servo_cfg.zip")}));
    const QList<ArchiveEntry> entries = readZip(folder.path("pkg.zip"));
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).name, QStringLiteral("servo_cfg.zip"));
    QCOMPARE(entries.at(0).data, QByteArray("servo parameters"));
}

void ArchiveWriterTest::failureKeepsAnEarlierArchiveAndLeavesNoTemporaryFile()
{
    TestFolder folder;
    const QString earlier = folder.write("out/pkg.zip", "the package of last week");
    const QString item = folder.write("in/hmi.zip", "hmi");
    QDir().mkpath(folder.path("in/a_folder"));

    QVERIFY(!writeArchive(earlier, {item, folder.path("in/a_folder")}));
    QVERIFY(!writeArchive(earlier, {item, folder.path("in/vanished.zip")}));
    QCOMPARE(readFile(earlier), QByteArray("the package of last week"));
    QCOMPARE(QDir(folder.path("out")).entryList(QDir::Files | QDir::Hidden),
             QStringList {"pkg.zip"});

    // The same path succeeds afterwards and replaces the earlier file.
    QVERIFY(writeArchive(earlier, {item}));
    QCOMPARE(zipEntryNames(earlier), QStringList {"hmi.zip"});
}

void ArchiveWriterTest::missingFoldersOnTheWayAreCreated()
{
    TestFolder folder;
    const QString item = folder.write("hmi.zip", "hmi");
    QVERIFY(writeArchive(folder.path("a/b/c.zip"), {item}));
    QCOMPARE(zipEntryNames(folder.path("a/b/c.zip")), QStringList {"hmi.zip"});
}

QTEST_MAIN(ArchiveWriterTest)
#include "tst_archivewriter.moc"
