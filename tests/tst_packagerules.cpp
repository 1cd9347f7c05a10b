// The GUI-free rules behind a package: manifest bytes that the controller
// reads, the type table, and the path and name checks that keep a run from
// harming files.
#include "packagemanifest.h"
#include "packagerequest.h"
#include "upgradeitemtypes.h"
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
    void typeTable();
    void pathsAreComparedAfterResolvingLinks();
    void fileNameClashes_data();
    void fileNameClashes();
};

using ItemMap = QMap<QString, QString>;

// Plain items for type key to path.
static PackageItems itemsFor(const ItemMap &paths)
{
    PackageItems items;
    for (auto it = paths.cbegin(); it != paths.cend(); ++it)
        items.insert(it.key(), plainItem(it.value()));
    return items;
}

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
    QCOMPARE(::manifestBytes(itemsFor(items)), expected);
    if (QTest::currentDataTag() == QLatin1String("worked example"))
        QCOMPARE(expected.size(), 93);
}

void PackageRulesTest::typeTable()
{
    QCOMPARE(typeLabelForIndex(0), QStringLiteral("HMI"));
    QCOMPARE(typeLabelForIndex(combinedPackageTypeIndex), QStringLiteral("组合包"));
    QCOMPARE(typeLabelForIndex(8), QString());
    QCOMPARE(typeLabelForKey("language"), QStringLiteral("语言包"));
    // A key from a foreign manifest names itself.
    QCOMPARE(typeLabelForKey("firmware"), QStringLiteral("firmware"));
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
        << ItemMap {{"hmi", "/a/"}, {"logo", "/b/"}} << QString();
    QTest::newRow("composed and decomposed")
        << ItemMap {{"hmi", "/a/caf\u00e9.zip"}, {"logo", "/b/cafe\u0301.zip"}}
        << QString("cafe\u0301.zip");
}

void PackageRulesTest::fileNameClashes()
{
    QFETCH(ItemMap, items);
    QFETCH(QString, clash);
    const PackageFailure failure = checkFileNames(itemsFor(items));
    QCOMPARE(failure.subject, clash);
    QCOMPARE(failure.failed(), !clash.isEmpty());
}

QTEST_MAIN(PackageRulesTest)
#include "tst_packagerules.moc"
