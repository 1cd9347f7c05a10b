// Screening a combined package before anything of it is used: each rule
// refuses its case, naming the entry or key, and a refused package leaves any
// earlier archive as it was; and how a screened package merges into a request.
#include "combinedpackage.h"
#include "packagemanifest.h"
#include "packagingrun.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

using F = PackageFailure;

class ScreeningTest : public QObject
{
    Q_OBJECT

private slots:
    void refusedPackages_data();
    void refusedPackages();
    void foreignTextIsDecoded_data();
    void foreignTextIsDecoded();
    void merging_data();
    void merging();
};

static const Entry hmi {'f', "hmi_v2.zip", QByteArray("hmi image\n").repeated(500)};

// A literal: statics of another file may not be initialised yet.
static Entry manifest(const QByteArray &json)
{
    return {'f', QStringLiteral("upgrade_package_config.json"), json};
}

static const Entry hmiManifest = manifest(R"({"hmi":{"name":"hmi_v2.zip"}})");

void ScreeningTest::refusedPackages_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<QString>("special"); // a package that is no archive
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("cause");

    const Entries none;
    QTest::newRow("not a zip") << none << "text" << int(F::NotZip) << "";
    QTest::newRow("truncated") << Entries {hmi, hmiManifest} << "cut" << int(F::NotZip) << "";
    QTest::newRow("a FIFO") << none << "fifo" << int(F::NotRegularFile) << "不是普通文件";
    QTest::newRow("a folder") << none << "folder" << int(F::NotRegularFile) << "";
    QTest::newRow("two entries of one name")
        << Entries {hmi, hmi, hmiManifest} << "" << int(F::EntryNameRepeated)
        << "组合包中存在同名文件hmi_v2.zip";
    QTest::newRow("one name in two cases")
        << Entries {hmi, {'f', "HMI_V2.ZIP", "x"}, hmiManifest} << "" << int(F::EntryNameRepeated)
        << "组合包中存在同名文件HMI_V2.ZIP";
    QTest::newRow("parent folder") << Entries {hmi, hmiManifest, {'f', "../outside/f", "evil"}}
                                   << "" << int(F::UnsafeEntryName) << "";
    QTest::newRow("absolute") << Entries {hmi, hmiManifest, {'f', "/tmp/evil", "evil"}} << ""
                              << int(F::UnsafeEntryName) << "";
    QTest::newRow("link") << Entries {hmi, hmiManifest, {'l', "s", "/etc/passwd"}} << ""
                          << int(F::LinkEntry) << "组合包中的s是符号链接";
    QTest::newRow("no manifest") << Entries {hmi} << "" << int(F::ManifestMissing)
                                 << "组合包中缺少upgrade_package_config.json";
    QTest::newRow("manifest only in a folder")
        << Entries {hmi, {'f', "sub/" + manifestFileName, "{}"}} << "" << int(F::ManifestInFolder)
        << "清单在文件夹 sub/ 中：请压缩文件夹里的文件，而不是文件夹本身";
    QTest::newRow("manifest over 1 MiB")
        << Entries {hmi, manifest("{\"hmi\":{\"name\":\"hmi_v2.zip\"}}" + QByteArray(1 << 20, ' '))}
        << "" << int(F::ManifestTooLarge) << "";
    QTest::newRow("manifest an array")
        << Entries {hmi, manifest("[]")} << "" << int(F::ManifestNotObject) << "";
    QTest::newRow("manifest not JSON") << Entries {hmi, manifest(R"({"hmi":{"name":"hmi_v2.zip"})")}
                                       << "" << int(F::ManifestNotObject) << "";
    QTest::newRow("member not an object")
        << Entries {hmi, manifest(R"({"hmi":"hmi_v2.zip"})")} << "" << int(F::MemberInvalid)
        << "组合包中hmi项没有有效的文件名";
    QTest::newRow("empty name") << Entries {hmi, manifest(R"({"hmi":{"name":""}})")} << ""
                                << int(F::MemberInvalid) << "";
    QTest::newRow("name with a folder")
        << Entries {{'f', "sub/hmi_v2.zip", "x"}, manifest(R"({"hmi":{"name":"sub/hmi_v2.zip"}})")}
        << "" << int(F::MemberInvalid) << "";
    QTest::newRow("name is the manifest")
        << Entries {manifest(R"({"hmi":{"name":"upgrade_package_config.json"}})")} << ""
        << int(F::MemberInvalid) << "";
    QTest::newRow("name of no entry")
        << Entries {{'f', "hmi_v1.zip", "x"}, hmiManifest} << "" << int(F::NamedEntryMissing)
        << "组合包中hmi项所指的文件hmi_v2.zip不存在";
    QTest::newRow("one file for two types")
        << Entries {hmi, manifest(R"({"hmi":{"name":"hmi_v2.zip"},"logo":{"name":"hmi_v2.zip"}})")}
        << "" << int(F::EntryNameRepeated) << "";
    QTest::newRow("type key in another case")
        << Entries {hmi, manifest(R"({"HMI":{"name":"hmi_v2.zip"}})")} << ""
        << int(F::KeyImitatesType) << "组合包中的类型“HMI”与hmi相近（大小写、空白或全角不同）";
}

void ScreeningTest::refusedPackages()
{
    QFETCH(Entries, entries);
    QFETCH(QString, special);
    QFETCH(int, reason);
    QFETCH(QString, cause);
    TestFolder folder;
    const QString package = folder.path("combined.zip");
    if (special == "text")
        folder.write("combined.zip", "no archive at all");
    else if (special == "fifo")
        QCOMPARE(mkfifo(QFile::encodeName(package).constData(), 0644), 0);
    else if (special == "folder")
        QVERIFY(QDir().mkdir(package));
    else
        writeZip(package, entries);
    if (special == "cut")
        folder.write("combined.zip", readFile(package).chopped(30));
    const QByteArray earlier = "the package of last week";
    folder.write("out/new.zip", earlier);

    const PackageScreening screening = screenCombinedPackage(package);
    QVERIFY(!screening.problems.isEmpty());
    const PackageFailure first = screening.problems.first();
    QCOMPARE(int(first.kind), int(F::PackageRefused));
    QCOMPARE(int(first.reason), reason);
    QCOMPARE(first.path, package);
    const PackageMessage message = packageMessage(first);
    QCOMPARE(message.title, QStringLiteral("解压失败"));
    QCOMPARE(message.text, QStringLiteral("HMI和控制器升级包解压失败!"));
    QVERIFY2(message.cause.endsWith(package), qPrintable(message.cause));
    if (!cause.isEmpty())
        QCOMPARE(message.cause, cause + "：" + package);

    // The same package as a row of a request: refused before anything is written.
    RunControl control;
    const PackagingOutcome outcome = runPackaging(
        {folder.path("out"), "new", {{0, folder.write("plain/servo.par", "servo")}, {7, package}}},
        &control);
    QCOMPARE(int(outcome.failure.reason), reason);
    QCOMPARE(readFile(folder.path("out/new.zip")), earlier);
    QCOMPARE(filesBelow(folder.path("out")), QStringList {"new.zip"});
}

void ScreeningTest::foreignTextIsDecoded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    const QString name = QStringLiteral("控制器升级包.zip");
    QTest::newRow("utf-8") << name.toUtf8() << name;
    QTest::newRow("utf-8 with byte-order mark") << "\xEF\xBB\xBF" + name.toUtf8() << name;
    QTest::newRow("gb18030 from a Windows tool")
        << QByteArray("\xBF\xD8\xD6\xC6\xC6\xF7\xC9\xFD\xBC\xB6\xB0\xFC.zip") << name;
    QTest::newRow("ascii") << QByteArray("hmi_v2.zip") << QStringLiteral("hmi_v2.zip");
}

void ScreeningTest::foreignTextIsDecoded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(decodeForeignText(bytes), text);
}

using Keys = QStringList;

void ScreeningTest::merging_data()
{
    QTest::addColumn<QByteArray>("nested");
    QTest::addColumn<QString>("plainName");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QByteArray>("merged"); // the new manifest

    QTest::newRow("three types and a foreign key")
        << QByteArray(
               R"({"logo":{"name":"l.png"},"hmi":{"name":"h.zip"},"firmware":{"name":"fw.bin"}})")
        << "servo_cfg.zip" << int(F::None) << ""
        << QByteArray(R"({"firmware":{"name":"fw.bin"},"hmi":{"name":"h.zip"},)"
                      R"("logo":{"name":"l.png"},"servo":{"name":"servo_cfg.zip"}})");
    QTest::newRow("empty object") << QByteArray("{}") << "servo_cfg.zip" << int(F::None) << ""
                                  << QByteArray(R"({"servo":{"name":"servo_cfg.zip"}})");
    QTest::newRow("type of a plain row")
        << QByteArray(R"({"servo":{"name":"s.par"}})") << "servo_cfg.zip" << int(F::TypeRepeated)
        << "伺服参数" << QByteArray();
    QTest::newRow("file name of a plain row")
        << QByteArray(R"({"hmi":{"name":"Servo_CFG.zip"}})") << "servo_cfg.zip"
        << int(F::FileNameRepeated) << "servo_cfg.zip" << QByteArray();
}

void ScreeningTest::merging()
{
    QFETCH(QByteArray, nested);
    QFETCH(QString, plainName);
    QFETCH(int, kind);
    QFETCH(QString, subject);
    QFETCH(QByteArray, merged);
    TestFolder folder;
    Entries entries {manifest(nested)};
    for (const char *name : {"l.png", "h.zip", "fw.bin", "s.par", "Servo_CFG.zip"}) {
        if (nested.contains(name))
            entries.append({'f', name, name});
    }
    writeZip(folder.path("combined.zip"), entries);
    const PackageScreening screening = screenCombinedPackage(folder.path("combined.zip"));
    QCOMPARE(screening.problems.size(), 0);

    PackageItems items {{"servo", plainItem(folder.write("plain/" + plainName, "servo"))}};
    const PackageFailure failure = mergeCombinedPackage(screening.package, &items);
    QCOMPARE(int(failure.kind), kind);
    QCOMPARE(failure.subject, subject);
    if (kind == F::None)
        QCOMPARE(manifestBytes(items), merged);
}

QTEST_MAIN(ScreeningTest)
#include "tst_screening.moc"
