// Screening a combined package before anything of it is used: each rule
// refuses its case, naming the entry or key, and a refused package leaves any
// earlier archive as it was; and how a screened package merges into a request.
#include "combinedpackage.h"
#include "packagemanifest.h"
#include "packagingrun.h"
#include "testsupport.h"
#include "visibletext.h"
#include "zipcontainer.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <zip.h>

using F = PackageFailure;

class ScreeningTest : public QObject
{
    Q_OBJECT

private slots:
    void refusedPackages_data();
    void refusedPackages();
    void hostilePackages_data();
    void hostilePackages();
    void foreignTextIsDecoded_data();
    void foreignTextIsDecoded();
    void utcModifiedTimes_data();
    void utcModifiedTimes();
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
    else if (special == "fifo") {
        if (!makeFifo(package))
            QSKIP("Windows has no FIFOs");
    } else if (special == "folder")
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
    // Messages show paths as the system writes them ("\\" on Windows).
    const QString shown = QDir::toNativeSeparators(package);
    QVERIFY2(message.cause.endsWith("：「" + shown + "」"), qPrintable(message.cause));
    if (!cause.isEmpty())
        QCOMPARE(message.cause, cause + "：「" + shown + "」");

    // The same package as a row of a request: refused before anything is written.
    RunControl control;
    const PackagingOutcome outcome = runPackaging(
        {folder.path("out"), "new", {{0, folder.write("plain/servo.par", "servo")}, {7, package}}},
        &control);
    QCOMPARE(int(outcome.failure.reason), reason);
    QCOMPARE(readFile(folder.path("out/new.zip")), earlier);
    QCOMPARE(filesBelow(folder.path("out")), QStringList {"new.zip"});
}

// One verdict: what inspect finds is what a run finds, and a run refuses
// before it writes, or fails while it copies, with the same reason; a
// package that is taken comes out whole and inspects valid again.
void ScreeningTest::hostilePackages_data()
{
    QTest::addColumn<int>("reason");
    // Part of the cause, where it says more; for a package that is taken,
    // part of a note.
    QTest::addColumn<QString>("specifics");

    const auto row = [](const char *name, F::Reason reason, const QString &specifics = QString()) {
        QTest::newRow(name) << int(reason) << specifics;
    };
    row("valid", F::NoReason);
    row("descriptor agrees", F::NoReason);
    row("unknown key", F::NoReason);
    row("item bzip2", F::NoReason);
    // The container is read one way only.
    row("bytes after deflate end", F::EntryCorrupt, "压缩数据结束后还有多余字节");
    row("local header leads outside", F::LocalHeaderMismatch, "名称");
    row("local crc differs", F::LocalHeaderMismatch, "CRC-32");
    row("local method differs", F::LocalHeaderMismatch, "压缩方式");
    row("descriptor disagrees", F::DataDescriptorMismatch);
    row("entries share one stream", F::EntriesOverlap);
    row("another archive appended", F::NotZip, "中央目录的位置与结束记录不符");
    row("archive behind another", F::DataBeforeEntries);
    row("data before first entry", F::DataBeforeEntries);
    row("data between entries", F::DataBetweenEntries);
    row("data after end record", F::DataAfterEnd);
    row("comment holds end record", F::CommentHoldsEndRecord);
    row("zip64 record disagrees", F::Zip64Mismatch);
    row("too many entries", F::TooManyEntries, "70000");
    row("end record counts 5m", F::TooManyEntries, "5000000");
    // Entries are exactly what they declare, and are read no further.
    row("deflated entry without data", F::EntryCorrupt, "压缩数据在声明的长度处没有结束");
    row("deflate without final block", F::EntryCorrupt, "压缩数据在声明的长度处没有结束");
    row("compressed size past end of file", F::EntryPastEnd);
    row("empty entry with crc", F::EntryCorrupt, "CRC校验失败");
    row("deflate bomb", F::EntryCorrupt, "解压后比声明的大小长");
    row("bzip2 bomb", F::EntryCorrupt, "解压后比声明的大小长");
    row("size near 2 63", F::EntryTooLarge);
    row("manifest deflate64", F::UnsupportedMethod, "Deflate64");
    row("manifest lzma", F::UnsupportedMethod, "LZMA");
    // Names the new package carries work on Windows and USB sticks.
    row("long gb18030 name", F::UnportableEntryName, "超过255字节");
    row("control character in name", F::UnportableEntryName, "控制字符");
    row("name and name with trailing dot", F::EntryNameRepeated);
    row("name and name with trailing blank", F::EntryNameRepeated);
    row("device name", F::UnportableEntryName, "设备名");
    row("device name with extension", F::UnportableEntryName, "设备名");
    row("colon in name", F::UnportableEntryName, "“:”");
    row("drive letter name", F::UnsafeEntryName); // "a:b" is b on drive A: for Windows
    row("wildcards in name", F::UnportableEntryName, "“*”");
    // Keys that would reach the controller as a second item of a type.
    row("key with nul", F::KeyImitatesType);
    row("key with blank", F::KeyImitatesType, "与hmi相近");
    row("key full width", F::KeyImitatesType, "与hmi相近");
    row("key with control character", F::KeyImitatesType, "控制字符");
    // Extra fields fill their block: python, bsdtar, 7z and libzip refuse the
    // package otherwise, and a Unicode Path field gives no other name than
    // the one python and Java read.
    row("central extra runs past", F::ExtraFieldInvalid, "（中央目录）");
    row("local extra runs past", F::ExtraFieldInvalid, "（本地文件头）");
    row("extra tail not zero", F::ExtraFieldInvalid, "（中央目录）");
    row("extra padded with zeros", F::NoReason);
    row("unicode path leads outside", F::UnicodePathMismatch, "另一个名称../../evil.sh");
    row("unicode path names the manifest", F::UnicodePathMismatch,
        "readme.txt的Unicode路径字段给出了另一个名称upgrade_package_config.json");
    row("unicode path in local header", F::UnicodePathMismatch, "另一个名称ctrl.zip");
    row("stale unicode path", F::NoReason);
    row("unicode path agrees", F::NoReason);
    row("unicode path over a western code page", F::NoReason);
    // Names and keys are valid text, with nothing hidden in them.
    row("utf-8 flag on invalid name", F::UnportableEntryName, "不是有效的Unicode文本");
    row("gb18030 name cut short", F::UnportableEntryName, "不是有效的Unicode文本");
    row("key with lone surrogate", F::KeyImitatesType, "“x\\ud800”不是有效的Unicode文本");
    row("key with invalid utf-8", F::KeyImitatesType, "不是有效的Unicode文本");
    row("manifest name with lone surrogate", F::MemberInvalid, "logo项没有有效的文件名");
    row("name with nul", F::NamedEntryMissing);
    row("name with zero width space", F::UnportableEntryName, "hmi\\u200b.zip");
    row("name with right to left override", F::UnportableEntryName, "控制字符");
    row("name beside name with format character", F::UnportableEntryName, "hmi\\xad.zip");
    row("left out names that act on a terminal", F::NoReason,
        "未列入清单、未打包：\\x1b]0;pwned\\x07\\x1b[2J.txt");
    // Zero bytes after the end record pad what bsdtar writes to a pipe.
    row("zero padding after end record", F::NoReason);
    row("zero padding with comment", F::NoReason);
    row("zero padding then a byte", F::DataAfterEnd);
    row("comment and padding past 64 KiB", F::NotZip, "没有结束记录");
    // No file system holds a name over 1 KiB: refused before it is kept.
    row("left out name of 1025 bytes", F::UnportableEntryName, "超过255字节");
    row("left out name of 1024 bytes", F::NoReason);
}

void ScreeningTest::hostilePackages()
{
    QFETCH(int, reason);
    QFETCH(QString, specifics);
    // A libzip built without bzip2 (the Windows SDK's) reads no such entry,
    // and says so, in inspect and in a run alike.
    if (QByteArray(QTest::currentDataTag()).contains("bzip2")
        && !zip_compression_method_supported(ZIP_CM_BZIP2, 0)) {
        reason = F::UnsupportedMethod;
        specifics = QStringLiteral("BZIP2");
    }
    TestFolder folder;
    const QString package = folder.path("combined.zip");
    writeHostileZip(package, QString::fromLatin1(QTest::currentDataTag()));
    const QByteArray earlier = "the package of last week";
    folder.write("out/new.zip", earlier);

    const PackageScreening verdict = inspectPackage(package);
    const PackageFailure first = verdict.problems.value(0);
    QCOMPARE(int(first.reason), reason);
    QStringList causes;
    for (const PackageFailure &said : verdict.problems + verdict.notes) {
        causes << packageMessage(said).cause;
        // Names are printed with what would hide a character or act on a
        // terminal escaped.
        QCOMPARE(firstControlOrFormat(causes.last()), -1);
        QCOMPARE(firstLoneSurrogate(causes.last()), -1);
    }
    const QStringList said = reason == F::NoReason && !specifics.isEmpty()
        ? causes
        : QStringList {packageMessage(first).cause};
    QVERIFY2(!said.filter(specifics).isEmpty(), qPrintable(said.join('\n')));

    RunControl control;
    WriteOptions agreed;
    agreed.replaceable = FileIdentity::at(folder.path("out/new.zip"));
    const PackagingOutcome run
        = runPackaging({folder.path("out"), "new", {{7, package}}}, &control, agreed);
    QCOMPARE(int(run.failure.reason), reason);
    if (reason != F::NoReason) {
        QCOMPARE(readFile(folder.path("out/new.zip")), earlier);
        QCOMPARE(filesBelow(folder.path("out")), QStringList {"new.zip"});
        return;
    }
    const PackageScreening again = inspectPackage(folder.path("out/new.zip"));
    QVERIFY(again.taken());
    QCOMPARE(again.package.items.keys(), verdict.package.items.keys());
    for (const QString &key : verdict.package.items.keys()) {
        const ZipEntry &before = verdict.package.items.value(key).entry;
        const ZipEntry &after = again.package.items.value(key).entry;
        QCOMPARE(after.name, before.name);
        QCOMPARE(after.crc, before.crc);
        QCOMPARE(after.size, before.size);
    }
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

// The time in UTC that an entry's extra fields hold, as writers put it there.
void ScreeningTest::utcModifiedTimes_data()
{
    QTest::addColumn<QString>("writer"); // a program, or a case of hostile_zip.py
    QTest::addColumn<QString>("entry");
    QTest::addColumn<qint64>("time"); // -1: none

    QTest::newRow("zip: UT") << "zip"
                             << "a.bin" << qint64(1700000000);
    QTest::newRow("bsdtar: UT with three times") << "bsdtar"
                                                 << "a.bin" << qint64(1700000000);
    QTest::newRow("7z: NTFS") << "7z"
                              << "a.bin" << qint64(1700000000);
    QTest::newRow("python: none") << "python"
                                  << "a.bin" << qint64(-1);
    const QString cases = "times in extra fields";
    QTest::newRow("UT in both headers") << cases << "ut.bin" << qint64(1700000000);
    QTest::newRow("UT in the local header") << cases << "local-ut.bin" << qint64(1600000000);
    QTest::newRow("NTFS") << cases << "ntfs.bin" << qint64(1500000000);
    QTest::newRow("UT before NTFS") << cases << "ut-before-ntfs.bin" << qint64(1300000000);
    QTest::newRow("central UT before local") << cases << "central-first.bin" << qint64(1200000000);
    QTest::newRow("UT flags without a time") << cases << "ut-without-time.bin" << qint64(-1);
    // Info-ZIP reads it as 1901, libarchive as 2038.
    QTest::newRow("UT with its top bit set") << cases << "ut-top-bit.bin" << qint64(-1);
    QTest::newRow("no field") << cases << "none.bin" << qint64(-1);
}

void ScreeningTest::utcModifiedTimes()
{
    QFETCH(QString, writer);
    QFETCH(QString, entry);
    QFETCH(qint64, time);
    SKIP_WITHOUT_LINUX_PROGRAMS(); // the writers are Linux programs
    TestFolder folder;
    const QString package = folder.path("combined.zip");
    if (writer.contains(' ')) {
        writeHostileZip(package, writer);
    } else {
        folder.write("a.bin", "a");
        const QString command = writer == "zip" ? "zip -q combined.zip a.bin"
            : writer == "7z"                    ? "7z a -tzip combined.zip a.bin >/dev/null"
            : writer == "bsdtar"                ? "bsdtar --format zip -cf combined.zip a.bin"
                                 : "python3 -c 'import zipfile; zipfile.ZipFile(\"combined.zip\", "
                                   "\"w\").write(\"a.bin\")'";
        QByteArray output;
        QCOMPARE(runProgram("bash", {"-c", "touch -d @1700000000 a.bin && " + command}, &output),
                 0);
    }
    FileError error;
    const auto source = FileByteSource::open(package, &error);
    QVERIFY(source);
    ZipContainer container;
    QVERIFY(!readZipContainer(*source, &container).failed());
    for (const ZipEntry &read : container.entries) {
        if (read.name != entry)
            continue;
        QCOMPARE(read.hasUtcModified, time >= 0);
        if (time >= 0)
            QCOMPARE(read.utcModified, time);
        return;
    }
    QFAIL("no such entry");
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
