// Expanding a combined package: which entry names are refused, what the
// extraction leaves on disk, and how a nested manifest is read and merged.
#include "packageextractor.h"
#include "packagemanifest.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTest>
#include <QTextCodec>

class PackageExtractorTest : public QObject
{
    Q_OBJECT

private slots:
    void unsafeEntryNames_data();
    void unsafeEntryNames();
    void safeArchiveIsExtractedIntoAFreshFolder();
    void refusedArchives_data();
    void refusedArchives();
    void workingFolderRemoval();
    void readingManifests_data();
    void readingManifests();
    void localeEncodedManifestIsRead();
    void merging_data();
    void merging();
};

using ItemMap = QMap<QString, QString>;

void PackageExtractorTest::unsafeEntryNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("unsafe");

    for (const char *name : {"/x", "\\x", "C:x", "c:/x", "z:\\x", "../x", "..\\x", "a/../b",
                             "a\\..\\b", "a/..\\b", "a/..", "..", "//server/x", "dir/../../x"})
        QTest::newRow(name) << QString(name) << true;
    for (const char *name : {"x", "a/b/c.zip", "..x", "x..", "a/..b/c", "...", "dir/", "a/.hidden",
                             "./x", "升级包.zip"})
        QTest::newRow(name) << QString(name) << false;
}

void PackageExtractorTest::unsafeEntryNames()
{
    QFETCH(QString, name);
    QFETCH(bool, unsafe);
    QCOMPARE(isUnsafeEntryName(name), unsafe);
}

void PackageExtractorTest::safeArchiveIsExtractedIntoAFreshFolder()
{
    TestFolder folder;
    const QByteArray big = QByteArray("controller image ").repeated(20000);
    writeZip(folder.path("pkg.zip"),
             {{'f', "hmi_v2.zip", big},
              {'s', "upgrade_package_config.json", "{}"},
              {'d', "docs/", ""},
              {'f', "docs/read me.txt", "notes"}});
    // Files of an earlier run must not mix in.
    folder.write("decompression/stale.bin", "old");
    folder.write("decompression/upgrade_package_config.json", R"({"logo":{"name":"stale.bin"}})");

    QVERIFY(extractPackage(folder.path("pkg.zip"), extractionFolder));
    QCOMPARE(
        filesBelow(folder.path("decompression")),
        QStringList({"docs", "docs/read me.txt", "hmi_v2.zip", "upgrade_package_config.json"}));
    QCOMPARE(readFile("decompression/hmi_v2.zip"), big);
    QCOMPARE(readFile("decompression/upgrade_package_config.json"), QByteArray("{}"));
    QCOMPARE(readFile("decompression/docs/read me.txt"), QByteArray("notes"));

    QVERIFY(!extractPackage(folder.path("missing.zip"), extractionFolder));
    QVERIFY(!standsAt(folder.path("decompression")));
}

void PackageExtractorTest::refusedArchives_data()
{
    QTest::addColumn<Entries>("entries");

    const Entry manifest {'f', "upgrade_package_config.json", "{}"};
    QTest::newRow("no entries") << Entries {};
    QTest::newRow("parent") << Entries {manifest, {'f', "../outside/f", "evil"}};
    QTest::newRow("parent, backslash") << Entries {manifest, {'f', "..\\outside\\f", "evil"}};
    // Nothing at all is written, not even the entries before the bad one.
    QTest::newRow("parent, late") << Entries {
        manifest, {'f', "ok.bin", "fine"}, {'f', "a/../../outside/f", "evil"}};
    QTest::newRow("absolute") << Entries {manifest, {'f', "%ABS", "evil"}};
    QTest::newRow("drive") << Entries {manifest, {'f', "C:f", "evil"}};
    QTest::newRow("link, then a file through it")
        << Entries {manifest, {'l', "d", "%OUT"}, {'f', "d/f", "evil"}};
    QTest::newRow("link, then a file of its name")
        << Entries {manifest, {'l', "s", "%OUT/f"}, {'f', "s", "evil"}};
    QTest::newRow("link inside the folder")
        << Entries {manifest, {'f', "a.bin", "x"}, {'l', "b.bin", "a.bin"}};
}

void PackageExtractorTest::refusedArchives()
{
    QFETCH(Entries, entries);
    TestFolder folder;
    folder.write("outside/f", "original");
    const QString absolute = folder.path() + "-abs";
    const auto removeAbsolute = qScopeGuard([&] { QFile::remove(absolute); });
    for (Entry &e : entries) {
        e.name.replace("%ABS", absolute);
        e.data.replace("%OUT", folder.path("outside").toUtf8());
    }
    writeZip(folder.path("pkg.zip"), entries);
    folder.write("decompression/stale.bin", "old");

    QVERIFY(!extractPackage(folder.path("pkg.zip"), extractionFolder));
    QVERIFY(!standsAt(absolute));
    QCOMPARE(readFile(folder.path("outside/f")), QByteArray("original"));
    QCOMPARE(filesBelow(folder.path()), QStringList({"outside", "outside/f", "pkg.zip"}));
}

void PackageExtractorTest::workingFolderRemoval()
{
    TestFolder folder;
    QVERIFY(removeWorkingFolder("./gone"));

    folder.write("work/a/b/c.bin", "c");
    QVERIFY(QFile::link(folder.path("keep"), folder.path("work/a/into-keep")));
    folder.write("keep/precious.txt", "precious");
    QVERIFY(removeWorkingFolder("./work"));
    QVERIFY(!standsAt(folder.path("work")));
    QCOMPARE(readFile(folder.path("keep/precious.txt")), QByteArray("precious"));

    // A link standing at the folder's path goes; what it points at stays.
    QVERIFY(QFile::link(folder.path("keep"), folder.path("linked")));
    QVERIFY(removeWorkingFolder("./linked"));
    QVERIFY(!standsAt(folder.path("linked")));
    QCOMPARE(filesBelow(folder.path("keep")), QStringList {"precious.txt"});

    // Even a link whose target is gone.
    QVERIFY(QFile::link(folder.path("nowhere"), folder.path("dangling")));
    QVERIFY(removeWorkingFolder("./dangling"));
    QVERIFY(!standsAt(folder.path("dangling")));

    folder.write("plain", "a file");
    QVERIFY(!removeWorkingFolder("./plain"));
    QCOMPARE(readFile(folder.path("plain")), QByteArray("a file"));

    // The extraction replaces a linked extraction folder by a real one.
    writeZip(folder.path("pkg.zip"), {{'f', "x.bin", "x"}});
    QVERIFY(QFile::link(folder.path("keep"), folder.path("decompression")));
    QVERIFY(extractPackage(folder.path("pkg.zip"), extractionFolder));
    QVERIFY(!QFileInfo(folder.path("decompression")).isSymLink());
    QCOMPARE(filesBelow(folder.path("decompression")), QStringList {"x.bin"});
    QCOMPARE(filesBelow(folder.path("keep")), QStringList {"precious.txt"});
    QVERIFY(removeWorkingFolder(extractionFolder));
}

void PackageExtractorTest::readingManifests_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<QByteArray>("object");

    QTest::newRow("missing") << QByteArray("<missing>") << false << QByteArray();
    QTest::newRow("empty") << QByteArray() << false << QByteArray();
    QTest::newRow("not json") << QByteArray("{\"hmi\":") << false << QByteArray();
    QTest::newRow("empty object") << QByteArray("{}") << true << QByteArray("{}");
    QTest::newRow("array") << QByteArray("[{\"hmi\":{}}]") << true << QByteArray("{}");
    QTest::newRow("indented, with BOM")
        << QByteArray("\xEF\xBB\xBF{\n  \"hmi\": {\"name\": \"a.zip\"}\n}\n") << true
        << QByteArray(R"({"hmi":{"name":"a.zip"}})");
    QTest::newRow("utf-8 name") << QByteArray(R"({"logo":{"name":"标志.png"}})") << true
                                << QByteArray(R"({"logo":{"name":"标志.png"}})");
}

void PackageExtractorTest::readingManifests()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, readable);
    QFETCH(QByteArray, object);
    TestFolder folder;
    if (content != "<missing>")
        folder.write(manifestFileName, content);

    QJsonObject manifest {{"untouched", true}};
    QCOMPARE(readManifestFile(folder.path(manifestFileName), &manifest), readable);
    if (readable)
        QCOMPARE(QJsonDocument(manifest).toJson(QJsonDocument::Compact), object);
}

void PackageExtractorTest::localeEncodedManifestIsRead()
{
    TestFolder folder;
    QTextCodec *previous = QTextCodec::codecForLocale();
    const auto restore = qScopeGuard([previous] { QTextCodec::setCodecForLocale(previous); });
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    QVERIFY(gbk);
    QTextCodec::setCodecForLocale(gbk);

    const QString name = QStringLiteral("控制器升级包.zip");
    const QByteArray bytes = gbk->fromUnicode(R"({"dravo":{"name":")" + name + R"("}})");
    QVERIFY(bytes != QString(R"({"dravo":{"name":")" + name + R"("}})").toUtf8());
    folder.write("gbk.json", bytes);
    // Valid UTF-8 is still read as UTF-8 under the same locale.
    folder.write("utf8.json", R"({"logo":{"name":"标志.png"}})");

    QJsonObject nested;
    QVERIFY(readManifestFile(folder.path("gbk.json"), &nested));
    QCOMPARE(nested.value("dravo").toObject().value("name").toString(), name);
    QJsonObject utf8;
    QVERIFY(readManifestFile(folder.path("utf8.json"), &utf8));
    QCOMPARE(utf8.value("logo").toObject().value("name").toString(), QStringLiteral("标志.png"));

    ItemMap items {{"hmi", "/data/hmi.zip"}};
    QCOMPARE(mergeNestedManifest(nested, extractionFolder, &items), MergeResult::Merged);
    QCOMPARE(items, ItemMap({{"dravo", "./decompression/" + name}, {"hmi", "/data/hmi.zip"}}));
    QCOMPARE(manifestText(items),
             R"({"dravo":{"name":")" + name + R"("},"hmi":{"name":"hmi.zip"}})");
}

void PackageExtractorTest::merging_data()
{
    QTest::addColumn<QByteArray>("nested");
    QTest::addColumn<ItemMap>("items");
    QTest::addColumn<bool>("duplicate");
    QTest::addColumn<ItemMap>("merged");
    QTest::addColumn<QString>("text");

    const ItemMap plain {{"servo", "/in/servo_cfg.zip"}};
    QTest::newRow("three types")
        << QByteArray(
               R"({"logo":{"name":"l.png"},"hmi":{"name":"h.zip"},"dravo":{"name":"d.zip"}})")
        << plain << false
        << ItemMap {{"dravo", "./decompression/d.zip"},
                    {"hmi", "./decompression/h.zip"},
                    {"logo", "./decompression/l.png"},
                    {"servo", "/in/servo_cfg.zip"}}
        << R"({"dravo":{"name":"d.zip"},"hmi":{"name":"h.zip"},"logo":{"name":"l.png"},)"
           R"("servo":{"name":"servo_cfg.zip"}})";
    QTest::newRow("empty object") << QByteArray("{}") << plain << false << plain
                                  << R"({"servo":{"name":"servo_cfg.zip"}})";
    QTest::newRow("array") << QByteArray("[]") << plain << false << plain
                           << R"({"servo":{"name":"servo_cfg.zip"}})";
    QTest::newRow("no name, odd values")
        << QByteArray(R"({"hmi":{},"logo":"l.png","dravo":{"name":7},"language":null})")
        << ItemMap {} << false
        << ItemMap {{"dravo", "./decompression/"},
                    {"hmi", "./decompression/"},
                    {"language", "./decompression/"},
                    {"logo", "./decompression/"}}
        << R"({"dravo":{"name":""},"hmi":{"name":""},"language":{"name":""},"logo":{"name":""}})";
    QTest::newRow("unknown keys kept")
        << QByteArray(R"({"firmware":{"name":"fw.bin","size":3},"Hmi":{"name":"x.zip"}})") << plain
        << false
        << ItemMap {{"Hmi", "./decompression/x.zip"},
                    {"firmware", "./decompression/fw.bin"},
                    {"servo", "/in/servo_cfg.zip"}}
        << R"({"Hmi":{"name":"x.zip"},"firmware":{"name":"fw.bin"},"servo":{"name":"servo_cfg.zip"}})";
    // Stops at the first key already held; what came before it stays.
    QTest::newRow("type already given")
        << QByteArray(R"({"dravo":{"name":"d.zip"},"servo":{"name":"s.zip"},"zz":{"name":"z"}})")
        << plain << true
        << ItemMap {{"dravo", "./decompression/d.zip"}, {"servo", "/in/servo_cfg.zip"}}
        << QString();
}

void PackageExtractorTest::merging()
{
    QFETCH(QByteArray, nested);
    QFETCH(ItemMap, items);
    QFETCH(bool, duplicate);
    QFETCH(ItemMap, merged);
    QFETCH(QString, text);
    TestFolder folder;
    folder.write(manifestFileName, nested);

    QJsonObject manifest;
    QVERIFY(readManifestFile(folder.path(manifestFileName), &manifest));
    QCOMPARE(mergeNestedManifest(manifest, extractionFolder, &items),
             duplicate ? MergeResult::DuplicateType : MergeResult::Merged);
    QCOMPARE(items, merged);
    if (!duplicate)
        QCOMPARE(manifestText(items), text);
}

QTEST_MAIN(PackageExtractorTest)
#include "tst_packageextractor.moc"
