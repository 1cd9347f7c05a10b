// The GUI-free rules behind a package: manifest bytes that the controller
// reads, and the path and name checks that keep a run from harming files.
#include "packagechecks.h"
#include "packagemanifest.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTextCodec>

class PackageRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void manifestBytes_data();
    void manifestBytes();
    void manifestFileIsWrittenOnlyWhereNothingStands();
    void pathsAreComparedAfterResolvingLinks();
    void fileNameClashes_data();
    void fileNameClashes();
};

using ItemMap = QMap<QString, QString>;

void PackageRulesTest::manifestBytes_data()
{
    QTest::addColumn<ItemMap>("items");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("worked example")
        << ItemMap {{"servo", "./decompression/servo_cfg.zip"},
                    {"hmi", "/data/update/hmi_v2.zip"},
                    {"dravo", "/data/update/ctrl_v5.zip"}}
        << QByteArray(R"({"dravo":{"name":"ctrl_v5.zip"},"hmi":{"name":"hmi_v2.zip"},)"
                      R"("servo":{"name":"servo_cfg.zip"}})");
    QTest::newRow("empty") << ItemMap {} << QByteArray("{}");
    QTest::newRow("key order") << ItemMap {{"servo", "s"},
                                           {"3d_model", "m"},
                                           {"logo", "l"},
                                           {"language", "g"}}
                               << QByteArray(R"({"3d_model":{"name":"m"},"language":{"name":"g"},)"
                                             R"("logo":{"name":"l"},"servo":{"name":"s"}})");
    QTest::newRow("escapes and Chinese")
        << ItemMap {{"hmi", "/x/a\"b\\c.zip"}, {"logo", "/x/标志.zip"}}
        << QByteArray(R"({"hmi":{"name":"a\"b\\c.zip"},"logo":{"name":"标志.zip"}})");
}

void PackageRulesTest::manifestBytes()
{
    QFETCH(ItemMap, items);
    QFETCH(QByteArray, expected);
    TestFolder folder;
    QVERIFY(writeManifestFile(folder.path("upgrade_package_config.json"), items));
    QFile file(folder.path("upgrade_package_config.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
    if (QTest::currentDataTag() == QLatin1String("worked example"))
        QCOMPARE(expected.size(), 93);
}

void PackageRulesTest::manifestFileIsWrittenOnlyWhereNothingStands()
{
    TestFolder folder;
    const QString kept = folder.write("upgrade_package_config.json", "the user's own notes");
    QVERIFY(!writeManifestFile(kept, {{"hmi", "a.zip"}}));
    QFile file(kept);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("the user's own notes"));
    QVERIFY(!writeManifestFile(folder.path("missing/upgrade_package_config.json"), {}));
    QVERIFY(!QFileInfo::exists(folder.path("missing")));
}

void PackageRulesTest::pathsAreComparedAfterResolvingLinks()
{
    TestFolder folder;
    QDir().mkpath(folder.path("out"));
    const QString item = folder.write("out/pkg.zip", "old package");
    QVERIFY(QFile::link(folder.path("out"), folder.path("out-link")));
    QVERIFY(QFile::link(item, folder.path("item-link.zip")));

    QVERIFY(isSamePath("out/pkg.zip", folder.path("out") + "//pkg.zip"));
    QVERIFY(isSamePath(folder.path("item-link.zip"), "./out-link/sub/../pkg.zip"));
    QVERIFY(!isSamePath("out/pkg.zip", "out/PKG.zip"));
    // Paths that do not exist yet are compared as far as they resolve.
    QVERIFY(isSamePath("out-link/new/x.zip", folder.path("out/new/x.zip")));

    QDir().mkpath(folder.path("decompression/inner"));
    QVERIFY(QFile::link(folder.path("decompression"), folder.path("ext-link")));
    QVERIFY(isInsideFolder("./decompression", "./decompression"));
    QVERIFY(isInsideFolder("ext-link/inner/new", "./decompression"));
    QVERIFY(isInsideFolder(folder.path("decompression/x/y.zip"), "decompression"));
    QVERIFY(!isInsideFolder("decompression2/x.zip", "./decompression"));
    QVERIFY(!isInsideFolder(".", "./decompression"));
}

void PackageRulesTest::fileNameClashes_data()
{
    QTest::addColumn<ItemMap>("items");
    QTest::addColumn<QString>("clash");

    QTest::newRow("distinct") << ItemMap {{"hmi", "/a/hmi.zip"}, {"logo", "/a/logo.zip"}}
                              << QString();
    QTest::newRow("same name, two folders")
        << ItemMap {{"hmi", "/a/update.zip"}, {"servo", "./decompression/update.zip"}}
        << QString("update.zip");
    QTest::newRow("case only") << ItemMap {{"dravo", "/a/Update.ZIP"}, {"hmi", "/b/update.zip"}}
                               << QString("update.zip");
    QTest::newRow("manifest name") << ItemMap {{"logo", "/a/Upgrade_Package_Config.json"}}
                                   << QString("Upgrade_Package_Config.json");
    QTest::newRow("nameless items are left to fail when packed")
        << ItemMap {{"hmi", "./decompression/"}, {"logo", "./decompression/"}} << QString();
}

void PackageRulesTest::fileNameClashes()
{
    QFETCH(ItemMap, items);
    QFETCH(QString, clash);
    QCOMPARE(findFileNameClash(items), clash);
}

QTEST_MAIN(PackageRulesTest)
#include "tst_packagerules.moc"
