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
    void packageNames_data();
    void packageNames();
    void blanksAtTheEndsOfAPath_data();
    void blanksAtTheEndsOfAPath();
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
#ifdef Q_OS_WIN
    // "\" separates folders on Windows, and a name holds none.
    QTest::newRow("escapes and Chinese")
        << ItemMap {{"hmi", "C:\\x\\a\"b.zip"}, {"logo", "\\\\server\\share\\标志.zip"}}
        << QByteArray(R"({"hmi":{"name":"a\"b.zip"},"logo":{"name":"标志.zip"}})");
#else
    QTest::newRow("escapes and Chinese")
        << ItemMap {{"hmi", "/x/a\"b\\c.zip"}, {"logo", "/x/标志.zip"}}
        << QByteArray(R"({"hmi":{"name":"a\"b\\c.zip"},"logo":{"name":"标志.zip"}})");
#endif
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
#ifdef Q_OS_WIN
    // Windows ignores case and takes "\" as "/"; its links need rights that
    // users lack (Qt makes shortcuts instead).
    QVERIFY(isSamePath("out/pkg.zip", folder.path("OUT") + "\\Pkg.ZIP"));
    QVERIFY(isSamePath("out\\sub\\..\\pkg.zip", item));
    QVERIFY(!isSamePath("out/pkg.zip", "out/pkg2.zip"));
    QVERIFY(isSamePath("out/new/x.zip", folder.path("OUT/NEW/x.zip")));
    return;
#endif
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
    QTest::newRow("trailing dot is the same file on Windows")
        << ItemMap {{"hmi", "/a/hmi.zip"}, {"logo", "/b/hmi.zip."}} << QString("hmi.zip.");
    QTest::newRow("a name Windows cannot hold")
        << ItemMap {{"hmi", "/a/hmi.zip"}, {"logo", "/b/logo:v2.png"}} << QString("logo:v2.png");
    QTest::newRow("a device name") << ItemMap {{"hmi", "/a/aux.bin"}} << QString("aux.bin");
    // Invisible characters make two names look alike.
    QTest::newRow("beside a zero-width space")
        << ItemMap {{"hmi", "/a/hmi.zip"}, {"logo", "/b/hmi\u200b.zip"}}
        << QString("hmi\u200b.zip");
    QTest::newRow("a soft hyphen")
        << ItemMap {{"hmi", "/a/hm\u00adi.zip"}} << QString("hm\u00adi.zip");
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

// Every rule a package name must keep, with the words that say what is wrong.
void PackageRulesTest::packageNames_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text"); // the message's main text, or the archive's name

    const int invalid = PackageFailure::PackageNameInvalid;
    QTest::newRow("plain") << "robot_v5" << 0 << "robot_v5.zip";
    QTest::newRow("Chinese, inner blank") << "升级包 v5" << 0 << "升级包 v5.zip";
    QTest::newRow(".zip typed") << "pkg.zip" << 0 << "pkg.zip";
    QTest::newRow(".ZIP typed") << "pkg.ZIP" << 0 << "pkg.zip";
    QTest::newRow("dots inside") << "v5.1.2" << 0 << "v5.1.2.zip";
    QTest::newRow("255 bytes with .zip") << QString(251, 'n') << 0 << QString(251, 'n') + ".zip";
    QTest::newRow("empty") << "" << int(PackageFailure::EmptyPackageName) << "生成压缩包文件名为空";
    QTest::newRow(".zip alone") << ".zip" << int(PackageFailure::EmptyPackageName)
                                << "生成压缩包文件名为空";
    QTest::newRow("slash") << "../escape" << invalid << "生成压缩包文件名不能包含“/”";
    QTest::newRow("backslash") << "a\\b" << invalid << "生成压缩包文件名不能包含“\\”";
    QTest::newRow("dot") << "." << invalid << "生成压缩包文件名不能是“.”";
    QTest::newRow("dot dot") << ".." << invalid << "生成压缩包文件名不能是“..”";
    for (const char *c : {"<", ">", ":", "\"", "|", "?", "*"})
        QTest::newRow(qPrintable(QStringLiteral("character %1").arg(c)))
            << QStringLiteral("v5%1final").arg(c) << invalid
            << QStringLiteral("生成压缩包文件名不能包含字符“%1”").arg(c);
    QTest::newRow("tab") << "v5\tfinal" << invalid << "生成压缩包文件名不能包含控制字符（U+0009）";
    QTest::newRow("DEL") << "v5\x7f" << invalid << "生成压缩包文件名不能包含控制字符（U+007F）";
    // Format characters hide in a name, or turn it around.
    for (const char16_t c : {u'\u200b', u'\u202e', u'\u00ad', u'\u200e', u'\ufeff'})
        QTest::newRow(qPrintable(QStringLiteral("format character U+%1").arg(int(c), 4, 16)))
            << QStringLiteral("pkg%1v5").arg(QChar(c)) << invalid
            << QStringLiteral("生成压缩包文件名不能包含控制字符（U+%1）")
                   .arg(QString::number(int(c), 16).toUpper().rightJustified(4, '0'));
    QTest::newRow("tag character") << QString::fromUcs4(U"pkg\U000E0041") << invalid
                                   << "生成压缩包文件名不能包含控制字符（U+E0041）";
    QTest::newRow("lone surrogate")
        << QString("pkg") + QChar(0xd800) << invalid << "生成压缩包文件名不是有效的Unicode文本";
    for (const char *device : {"CON", "prn", "Aux", "nul", "COM1", "com9", "LPT1", "lpt9",
                               "CON.zip", "nul.tar.gz", "COM\u00b9"})
        QTest::newRow(qPrintable(QStringLiteral("device %1").arg(device)))
            << QString::fromUtf8(device) << invalid
            << QStringLiteral("生成压缩包文件名不能是Windows设备名“%1”")
                   .arg(packageBaseName(QString::fromUtf8(device)));
    QTest::newRow("COM0 is no device") << "COM0" << 0 << "COM0.zip";
    QTest::newRow("CONSOLE is no device") << "CONSOLE" << 0 << "CONSOLE.zip";
    QTest::newRow("leading blank") << " pkg" << invalid << "生成压缩包文件名不能以空格开头";
    QTest::newRow("blanks only") << "   " << invalid << "生成压缩包文件名不能以空格开头";
    QTest::newRow("trailing blank") << "pkg " << invalid << "生成压缩包文件名不能以空格结尾";
    QTest::newRow("ideographic blank")
        << "pkg\u3000" << invalid << "生成压缩包文件名不能以空格结尾";
    QTest::newRow("trailing dot") << "pkg." << invalid << "生成压缩包文件名不能以“.”结尾";
    QTest::newRow("256 bytes with .zip") << QString(252, 'n') << invalid << "生成压缩包文件名过长";
    QTest::newRow("a folder stands at the archive's path")
        << "taken" << int(PackageFailure::ArchiveIsFolder) << "生成升级包位置中已有同名的文件夹";
    QTest::newRow("Chinese, too long")
        << QString(84, QChar(0x5305)) << invalid << "生成压缩包文件名过长"; // 252 + 4 bytes
}

void PackageRulesTest::packageNames()
{
    QFETCH(QString, typed);
    QFETCH(int, kind);
    QFETCH(QString, text);
    TestFolder folder;
    QVERIFY(QDir().mkpath("out/taken.zip"));
    PackageFailure failure = checkPackageName(typed);
    CheckedRequest checked;
    const PackageFailure request = checkPackageRequest({"out", typed, {}}, &checked);
    QCOMPARE(int(request.kind), kind);
    if (kind == PackageFailure::ArchiveIsFolder)
        failure = request;
    QCOMPARE(int(failure.kind), kind);
    if (kind == PackageFailure::None) {
        QCOMPARE(archivePathFor("out", typed), "out/" + text);
        return;
    }
    QCOMPARE(failure.field, PackageFailure::PackageNameField);
    const PackageMessage message = packageMessage(failure);
    QCOMPARE(message.title, QStringLiteral("文件名错误"));
    QCOMPARE(message.text, text);
}

// A path pasted with blanks: the message quotes it, and names the path
// without its end blanks where that exists as what the field needs.
void PackageRulesTest::blanksAtTheEndsOfAPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("cause"); // "@" the test folder

    const QString exists = "，去掉空格后的路径存在：";
    QTest::newRow("item, blank at its end")
        << "out"
        << "in/hmi.zip "
        << "找不到：「@/in/hmi.zip 」\n路径末尾有空格" + exists + "「@/in/hmi.zip」";
    QTest::newRow("item, blanks at its start")
        << "out"
        << "  @/in/hmi.zip"
        << "找不到：「@/  @/in/hmi.zip」\n路径开头有空格" + exists + "「@/in/hmi.zip」";
    QTest::newRow("item, tab and newline at both ends")
        << "out"
        << "\t@/in/hmi.zip\n"
        // Shown escaped, as every control character in a message.
        << "找不到：「@/\\x09@/in/hmi.zip\\x0a」\n路径两端有空格" + exists + "「@/in/hmi.zip」";
    QTest::newRow("item, ideographic blank at its end")
        << "out"
        << "in/hmi.zip\u3000"
        << "找不到：「@/in/hmi.zip\u3000」\n路径末尾有空格" + exists + "「@/in/hmi.zip」";
    QTest::newRow("item, missing without the blank too") << "out"
                                                         << "in/none.zip "
                                                         << "找不到：「@/in/none.zip 」";
    QTest::newRow("item, blank inside a name") << "out"
                                               << "in/hmi .zip"
                                               << "找不到：「@/in/hmi .zip」";
    QTest::newRow("item, only blanks") << "out"
                                       << "  "
                                       << "找不到：「@/  」";
    QTest::newRow("folder, blank at its end")
        << "@/out "
        << "in/hmi.zip"
        << "不是已有的文件夹：「@/out 」\n路径末尾有空格" + exists + "「@/out」";
    QTest::newRow("folder, a file without the blank") << "in/hmi.zip "
                                                      << "in/hmi.zip"
                                                      << "不是已有的文件夹：「@/in/hmi.zip 」";
}

void PackageRulesTest::blanksAtTheEndsOfAPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, item);
    QFETCH(QString, cause);
    TestFolder test;
    test.write("in/hmi.zip", "hmi");
    QVERIFY(QDir().mkpath("out"));
    CheckedRequest checked;
    const PackageFailure failure = checkPackageRequest(
        {folder.replace('@', test.path()), "pkg", {{0, item.replace('@', test.path())}}}, &checked);
    QVERIFY(failure.failed());
    QCOMPARE(packageMessage(failure).cause, withSystemPaths(cause.replace('@', test.path())));
}

QTEST_MAIN(PackageRulesTest)
#include "tst_packagerules.moc"
