// Packages of every kind built by the command line, merged from earlier ones
// that other ZIP writers made, and read back by every independent reader.
#include "readermatrix.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include "bytesource.h"
#include "zipcontainer.h"

#include <utime.h>

Q_DECLARE_METATYPE(NamedBytes)

namespace {

const QString manifest = QStringLiteral("upgrade_package_config.json");

QByteArray text(const QByteArray &line, int count)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i)
        lines += line + QByteArray::number(i) + '\n';
    return lines;
}

int cli(const QStringList &arguments, QByteArray *output)
{
    return runProgram(CLI_EXECUTABLE, arguments, output);
}

int build(const QString &folder, const QString &name, const QStringList &items, QByteArray *output)
{
    QStringList arguments {"build", "--output-dir", folder, "--name", name};
    if (QByteArray(QTest::currentDataTag()).endsWith("(--jobs 1)"))
        arguments << "--jobs"
                  << "1";
    for (const QString &item : items)
        arguments << "--item" << item;
    return cli(arguments, output);
}

// Writes a package as python's zipfile does it; "gb18030" stands for a
// Chinese Windows tool: names and manifest in GB18030, no UTF-8 flag (bit 11),
// made by MS-DOS; "dst gap" stamps every entry 2024-03-31 02:30, an hour that
// Berlin skips.
const char pythonWriter[] = R"(
import json, sys, zipfile
path, mode, listing = sys.argv[1:4]
foreign = mode == 'gb18030'
stamp = (2024, 3, 31, 2, 30, 0) if mode == 'dst gap' else (2023, 3, 4, 5, 6, 8)

class Info(zipfile.ZipInfo):
    def _encodeFilenameFlags(self):
        if not foreign:
            return super()._encodeFilenameFlags()
        return self.filename.encode('gb18030'), self.flag_bits & ~0x800

with zipfile.ZipFile(path, 'w') as z:
    for name, data in json.load(open(listing, encoding='utf-8')):
        data = bytes.fromhex(data)
        if foreign and name == 'upgrade_package_config.json':
            data = data.decode('utf-8').encode('gb18030')
        info = Info(name, stamp)
        info.compress_type = zipfile.ZIP_STORED if mode == 'stored' else zipfile.ZIP_DEFLATED
        info.create_system = 0 if foreign else 3
        info.external_attr = 0x20 if foreign else 0o100644 << 16
        z.writestr(info, data)
)";

// Writes old/combined.zip with another tool. The tools that pack files from
// a folder get them, under their names, in stage/.
bool writeWithTool(const TestFolder &folder, const QString &writer, const NamedBytes &packed,
                   QByteArray *output)
{
    const QString archive = folder.path("old/combined.zip");
    QStringList names;
    QJsonArray listing;
    for (const auto &entry : packed) {
        folder.write("stage/" + entry.first, entry.second);
        names << entry.first;
        listing.append(QJsonArray {entry.first, QString::fromLatin1(entry.second.toHex())});
    }
    QStringList command;
    if (writer == "zip -j")
        command = QStringList {"zip", "-j", archive} + names;
    else if (writer == "zip -r, with a folder")
        command = QStringList {"zip", "-r", archive, "."};
    else if (writer == "7z")
        command = QStringList {"7z", "a", "-tzip", archive} + names;
    else if (writer == "bsdtar")
        command = QStringList {"bsdtar", "--format", "zip", "-cf", archive} + names;
    else if (writer == "bsdtar -C dir .")
        command = QStringList {"bsdtar", "--format", "zip", "-cf", archive, "."};
    else if (writer == "bsdtar to a pipe") // pads the archive with zeros to 10 KiB blocks
        command
            = QStringList {"sh", "-c", "bsdtar --format zip -cf - \"$@\" | cat >\"$0\"", archive}
            + names;
    else if (writer == "jar")
        command = QStringList {"jar", "--create", "--no-manifest", "--file", archive} + names;
    if (!command.isEmpty()) {
        const QString inStage = "export LC_ALL=C.UTF-8; cd stage && exec \"$@\"";
        return runProgram("bash", QStringList {"-c", inStage, writer} + command, output) == 0;
    }
    folder.write("entries.json", QJsonDocument(listing).toJson());
    const QString mode = writer == "python stored"  ? "stored"
        : writer.startsWith("GB18030 Windows tool") ? "gb18030"
        : writer == "python, in a DST gap"          ? "dst gap"
                                                    : "deflate";
    return runProgram("python3", {"-c", pythonWriter, archive, mode, folder.path("entries.json")},
                      output)
        == 0;
}

bool touch(const QString &path, time_t seconds)
{
    struct utimbuf times // not const: MinGW's utime() takes it so
    {
        seconds, seconds
    };
    return ::utime(QFile::encodeName(path).constData(), &times) == 0;
}

// "name=YYYY-MM-DD hh:mm:ss" for every entry, as its headers hold it (local
// and central agree, or the line says so).
QStringList headerTimes(const QString &archive)
{
    FileError error;
    const auto source = FileByteSource::open(archive, &error);
    ZipContainer container;
    if (!source || readZipContainer(*source, &container).failed())
        return {"unreadable"};
    QStringList lines;
    for (const ZipEntry &entry : container.entries) {
        char local[4];
        source->readAt(entry.headerOffset + 10, local, 4);
        const bool agree = quint8(local[0]) == (entry.dosTime & 0xff)
            && quint8(local[1]) == (entry.dosTime >> 8)
            && quint8(local[2]) == (entry.dosDate & 0xff)
            && quint8(local[3]) == (entry.dosDate >> 8);
        lines << QStringLiteral("%1=%2-%3-%4 %5:%6:%7%8")
                     .arg(entry.name)
                     .arg(1980 + (entry.dosDate >> 9))
                     .arg((entry.dosDate >> 5) & 15, 2, 10, QLatin1Char('0'))
                     .arg(entry.dosDate & 31, 2, 10, QLatin1Char('0'))
                     .arg(entry.dosTime >> 11, 2, 10, QLatin1Char('0'))
                     .arg((entry.dosTime >> 5) & 63, 2, 10, QLatin1Char('0'))
                     .arg((entry.dosTime & 31) * 2, 2, 10, QLatin1Char('0'))
                     .arg(agree ? "" : " (local header differs)");
    }
    return lines;
}

} // namespace

class InteropTest : public QObject
{
    Q_OBJECT

private slots:
    void everyReaderGetsWhatWasPacked_data();
    void everyReaderGetsWhatWasPacked();
    void timesSurviveAChangeOfTimeZone_data();
    void timesSurviveAChangeOfTimeZone();
};

void InteropTest::everyReaderGetsWhatWasPacked_data()
{
    QTest::addColumn<NamedBytes>("files"); // path in the test folder, content
    QTest::addColumn<QStringList>("earlier"); // items of an earlier package old/combined.zip
    QTest::addColumn<QString>("writer"); // or another tool writes old/combined.zip
    QTest::addColumn<NamedBytes>("packed"); // with these entries
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<NamedBytes>("expected");
    // Where given, "name=YYYY-MM-DD hh:mm:ss": the date and time that the
    // new package's headers hold for that entry.
    QTest::addColumn<QStringList>("times");

    const QByteArray hmi = text("hmi line ", 3000), ctrl = randomBytes(50000, 1),
                     cfg = text("kr6 ", 500), logo = randomBytes(3000, 2),
                     language = text("语言包 zh_CN ", 400);
    // Text and noise in turn, over many blocks of a parallel deflate.
    QByteArray mixed;
    for (int i = 0; i < 12; ++i)
        mixed += i % 2 ? randomBytes(150000 + i, quint32(i)) : text("mixed ", 9000 + i);
    const NamedBytes files
        = {{"in/mixed.bin", mixed}, {"in/hmi_v2.zip", hmi},  {"in/ctrl_v5.zip", ctrl},
           {"in/kr6.cfg", cfg},     {"in/控制器.bin", ctrl}, {"in/语言包.zip", language},
           {"in/empty.png", ""},    {"in/logo.png", logo}};
    const auto row = [&](const QByteArray &tag, const QString &name, const QStringList &items,
                         const NamedBytes &expected) {
        QTest::newRow(tag.constData()) << files << QStringList() << QString() << NamedBytes()
                                       << name << items << expected << QStringList();
    };

    // Each plain kind also as one ordinary deflate stream per item.
    for (const char *jobs : {"", " (--jobs 1)"}) {
        row(QByteArray("ASCII names") + jobs, "pkg",
            {"hmi=in/hmi_v2.zip", "robot_configuration=in/kr6.cfg", "dravo=in/ctrl_v5.zip"},
            {{"ctrl_v5.zip", ctrl},
             {"hmi_v2.zip", hmi},
             {"kr6.cfg", cfg},
             {manifest,
              R"({"dravo":{"name":"ctrl_v5.zip"},"hmi":{"name":"hmi_v2.zip"},)"
              R"("robot_configuration":{"name":"kr6.cfg"}})"}});
        row(QByteArray("Chinese names") + jobs, "升级包",
            {"language=in/语言包.zip", "dravo=in/控制器.bin"},
            {{"控制器.bin", ctrl},
             {"语言包.zip", language},
             {manifest, R"({"dravo":{"name":"控制器.bin"},"language":{"name":"语言包.zip"}})"}});
        row(QByteArray("empty item") + jobs, "pkg", {"logo=in/empty.png"},
            {{"empty.png", ""}, {manifest, R"({"logo":{"name":"empty.png"}})"}});
        row(QByteArray("no items") + jobs, "pkg", {}, {{manifest, "{}"}});
        row(QByteArray("many deflate blocks") + jobs, "pkg", {"hmi=in/mixed.bin"},
            {{"mixed.bin", mixed}, {manifest, R"({"hmi":{"name":"mixed.bin"}})"}});
    }

    const NamedBytes combinedRun = {
        {"控制器.bin", ctrl},
        {"hmi_v2.zip", hmi},
        {"logo.png", logo},
        {manifest,
         R"({"dravo":{"name":"控制器.bin"},"hmi":{"name":"hmi_v2.zip"},"logo":{"name":"logo.png"}})"}};
    QTest::newRow("combined run") << files
                                  << QStringList {"hmi=in/hmi_v2.zip", "dravo=in/控制器.bin"}
                                  << QString() << NamedBytes() << "pkg"
                                  << QStringList {"combined=old/combined.zip", "logo=in/logo.png"}
                                  << combinedRun << QStringList();

    // Earlier packages from other writers, their manifests laid out otherwise.
    const NamedBytes chinese
        = {{"升级包.zip", hmi},
           {"控制器.bin", ctrl},
           {manifest,
            "{\r\n  \"hmi\": {\"name\": \"升级包.zip\"},\r\n  \"dravo\": {\"name\": "
            "\"控制器.bin\"}\r\n}\r\n"}};
    const NamedBytes merged = {
        {"控制器.bin", ctrl},
        {"升级包.zip", hmi},
        {"logo.png", logo},
        {manifest,
         R"({"dravo":{"name":"控制器.bin"},"hmi":{"name":"升级包.zip"},"logo":{"name":"logo.png"}})"}};
    for (const char *writer :
         {"zip -j", "python deflated", "python stored", "7z", "bsdtar", "bsdtar -C dir .",
          "bsdtar to a pipe", "jar", "zip -r, with a folder"})
        QTest::newRow(writer) << files << QStringList() << writer
                              << chinese + NamedBytes {{"docs/readme.txt", "left out"}} << "pkg"
                              << QStringList {"combined=old/combined.zip", "logo=in/logo.png"}
                              << merged << QStringList();
    // A macOS archiver's resource forks, and a signature file, are no items.
    QTest::newRow("python, with __MACOSX and a signature")
        << files << QStringList() << "python deflated"
        << chinese + NamedBytes {{"__MACOSX/._升级包.zip", "fork"}, {"upgrade.sig", "signature"}}
        << "pkg" << QStringList {"combined=old/combined.zip", "logo=in/logo.png"} << merged
        << QStringList();
    QTest::newRow("GB18030 Windows tool")
        << files << QStringList() << "GB18030 Windows tool"
        << NamedBytes {{"控制器.bin", ctrl},
                       {"语言包.zip", language},
                       {manifest,
                        R"({"language":{"name":"语言包.zip"},"dravo":{"name":"控制器.bin"}})"}}
        << "pkg" << QStringList {"combined=old/combined.zip"}
        << NamedBytes {{"控制器.bin", ctrl},
                       {"语言包.zip", language},
                       {manifest,
                        R"({"dravo":{"name":"控制器.bin"},"language":{"name":"语言包.zip"}})"}}
        << QStringList();
    // "涓佷竴" in GB18030 is the same bytes as "丁一" in UTF-8: one name that
    // is not valid UTF-8 decides that all of them are GB18030.
    QTest::newRow("GB18030 Windows tool, a name that reads as UTF-8")
        << files << QStringList() << "GB18030 Windows tool"
        << NamedBytes {{"控制器.bin", ctrl},
                       {"涓佷竴.zip", hmi},
                       {manifest, R"({"hmi":{"name":"涓佷竴.zip"},"dravo":{"name":"控制器.bin"}})"}}
        << "pkg" << QStringList {"combined=old/combined.zip"}
        << NamedBytes {{"控制器.bin", ctrl},
                       {"涓佷竴.zip", hmi},
                       {manifest, R"({"dravo":{"name":"控制器.bin"},"hmi":{"name":"涓佷竴.zip"}})"}}
        << QStringList();
    // Dates and times are copied as they are stored, never through a time
    // zone; a file older than 1980 gets the earliest time a header holds.
    QTest::newRow("python, in a DST gap; a file of 1975")
        << files << QStringList() << "python, in a DST gap"
        << NamedBytes {{"hmi_v2.zip", hmi}, {manifest, R"({"hmi":{"name":"hmi_v2.zip"}})"}} << "pkg"
        << QStringList {"combined=old/combined.zip", "logo=in/1975.png"}
        << NamedBytes {{"hmi_v2.zip", hmi},
                       {"1975.png", logo},
                       {manifest, R"({"hmi":{"name":"hmi_v2.zip"},"logo":{"name":"1975.png"}})"}}
        << QStringList {"hmi_v2.zip=2024-03-31 02:30:00", "1975.png=1980-01-01 00:00:00"};
    // macOS tools write names decomposed: "e" and a combining acute accent.
    QTest::newRow("decomposed name, composed manifest")
        << files << QStringList() << "python deflated"
        << NamedBytes {{"hmi_v2.zip", hmi},
                       {QString::fromUtf8("Cafe\xcc\x81.png"), logo},
                       {manifest,
                        R"({"logo":{"name":"Caf\u00e9.png"},"hmi":{"name":"hmi_v2.zip"}})"}}
        << "pkg" << QStringList {"combined=old/combined.zip"}
        << NamedBytes {{"hmi_v2.zip", hmi},
                       {QString::fromUtf8("Caf\xc3\xa9.png"), logo},
                       {manifest, R"({"hmi":{"name":"hmi_v2.zip"},"logo":{"name":"Café.png"}})"}}
        << QStringList();
}

void InteropTest::everyReaderGetsWhatWasPacked()
{
    QFETCH(NamedBytes, files);
    QFETCH(QStringList, earlier);
    QFETCH(QString, writer);
    QFETCH(NamedBytes, packed);
    QFETCH(QString, name);
    QFETCH(QStringList, items);
    QFETCH(NamedBytes, expected);
    QFETCH(QStringList, times);
    TestFolder folder;
    for (const auto &file : files)
        folder.write(file.first, file.second);
    if (!times.isEmpty()) {
        folder.write("in/1975.png", randomBytes(3000, 2));
        QVERIFY(touch("in/1975.png", 157766400)); // 1975-01-01
        qputenv("TZ", "Europe/Berlin");
    }
    QVERIFY(QDir().mkpath("out") && QDir().mkpath("old"));
    QByteArray output;
    if (!earlier.isEmpty())
        QVERIFY2(build("old", "combined", earlier, &output) == 0, output.constData());
    if (!writer.isEmpty())
        QVERIFY2(writeWithTool(folder, writer, packed, &output), output.constData());

    const int built = build("out", name, items, &output);
    qunsetenv("TZ");
    QVERIFY2(built == 0, output.constData());
    const QString archive = folder.path("out/" + name + ".zip");
    QCOMPARE(QString::fromUtf8(output),
             archive + "\t" + QString::number(QFileInfo(archive).size()) + "\n");
    const QStringList problems = readerProblems(archive, expected) + headerProblems(archive);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    if (!times.isEmpty())
        QCOMPARE(headerTimes(archive).filter(QRegularExpression("^(hmi_v2|1975)")), times);
}

// A package made in one time zone and unpacked in another keeps its files'
// times: each entry carries its UTC time beside the local DOS time.
void InteropTest::timesSurviveAChangeOfTimeZone_data()
{
    QTest::addColumn<QString>("writer"); // of an earlier package merged, or none
    QTest::newRow("plain item") << QString();
    QTest::newRow("merged from zip -j, extended timestamps") << "zip";
    QTest::newRow("merged from 7z, NTFS times") << "7z";
}

void InteropTest::timesSurviveAChangeOfTimeZone()
{
    QFETCH(QString, writer);
    TestFolder folder;
    const time_t modified = 1700000000; // 2023-11-14 22:13:20 UTC
    folder.write("stage/hmi_v2.zip", text("hmi line ", 300));
    folder.write("stage/" + manifest, R"({"hmi":{"name":"hmi_v2.zip"}})");
    QVERIFY(touch("stage/hmi_v2.zip", modified));
    QVERIFY(QDir().mkpath("out") && QDir().mkpath("old"));
    QByteArray output;
    const QString inUtc = "export TZ=UTC LC_ALL=C.UTF-8; cd \"$1\" && shift && exec \"$@\"";
    QStringList item {"hmi=stage/hmi_v2.zip"};
    if (!writer.isEmpty()) {
        const QStringList command = writer == "zip"
            ? QStringList {"zip", "-j", "../old/combined.zip", "hmi_v2.zip", manifest}
            : QStringList {"7z",         "a",     "-tzip", "-mtc=on", "../old/combined.zip",
                           "hmi_v2.zip", manifest};
        QVERIFY2(runProgram("bash", QStringList {"-c", inUtc, "tool", "stage"} + command, &output)
                     == 0,
                 output.constData());
        item = QStringList {"combined=old/combined.zip"};
    }
    qputenv("TZ", "UTC");
    const int built = build("out", "pkg", item, &output);
    qunsetenv("TZ");
    QVERIFY2(built == 0, output.constData());
    const QStringList problems = headerProblems(folder.path("out/pkg.zip"));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    const QString inShanghai = "export TZ=Asia/Shanghai; exec \"$@\"";
    for (const QStringList &extract :
         {QStringList {"unzip", "-q", "-o", "out/pkg.zip", "-d", "by-unzip"},
          QStringList {"7z", "x", "-y", "-oby-7z", "out/pkg.zip"}}) {
        QVERIFY2(runProgram("bash", QStringList {"-c", inShanghai, "x"} + extract, &output) == 0,
                 output.constData());
        const QString extracted = extract.first() == "unzip" ? "by-unzip" : "by-7z";
        QCOMPARE(
            extract.first() + " "
                + QFileInfo(extracted + "/hmi_v2.zip").lastModified().toUTC().toString(Qt::ISODate),
            extract.first() + " 2023-11-14T22:13:20Z");
    }
}

QTEST_GUILESS_MAIN(InteropTest)
#include "tst_interop.moc"
