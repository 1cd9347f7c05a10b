// Packages of every kind built by the command line, merged from earlier ones
// that other ZIP writers made, and read back by every independent reader.
#include "readermatrix.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

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
    for (const QString &item : items)
        arguments << "--item" << item;
    return cli(arguments, output);
}

// Writes a package as python's zipfile does it; "gb18030" stands for a
// Chinese Windows tool: names and manifest in GB18030, no UTF-8 flag (bit 11),
// made by MS-DOS.
const char pythonWriter[] = R"(
import json, sys, zipfile
path, mode, listing = sys.argv[1:4]
foreign = mode == 'gb18030'

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
        info = Info(name, (2023, 3, 4, 5, 6, 8))
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
    else if (writer == "7z")
        command = QStringList {"7z", "a", "-tzip", archive} + names;
    else if (writer == "bsdtar")
        command = QStringList {"bsdtar", "--format", "zip", "-cf", archive} + names;
    if (!command.isEmpty()) {
        const QString inStage = "export LC_ALL=C.UTF-8; cd stage && exec \"$@\"";
        return runProgram("bash", QStringList {"-c", inStage, writer} + command, output) == 0;
    }
    folder.write("entries.json", QJsonDocument(listing).toJson());
    const QString mode = writer == "python stored" ? "stored"
        : writer == "GB18030 Windows tool"         ? "gb18030"
                                                   : "deflate";
    return runProgram("python3", {"-c", pythonWriter, archive, mode, folder.path("entries.json")},
                      output)
        == 0;
}

} // namespace

class InteropTest : public QObject
{
    Q_OBJECT

private slots:
    void everyReaderGetsWhatWasPacked_data();
    void everyReaderGetsWhatWasPacked();
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

    const QByteArray hmi = text("hmi line ", 3000), ctrl = randomBytes(50000, 1),
                     cfg = text("kr6 ", 500), logo = randomBytes(3000, 2),
                     language = text("语言包 zh_CN ", 400);
    const NamedBytes files
        = {{"in/hmi_v2.zip", hmi},  {"in/ctrl_v5.zip", ctrl},    {"in/kr6.cfg", cfg},
           {"in/控制器.bin", ctrl}, {"in/语言包.zip", language}, {"in/empty.png", ""},
           {"in/logo.png", logo}};
    const auto row = [&](const char *tag, const QString &name, const QStringList &items,
                         const NamedBytes &expected) {
        QTest::newRow(tag) << files << QStringList() << QString() << NamedBytes() << name << items
                           << expected;
    };

    row("ASCII names", "pkg",
        {"hmi=in/hmi_v2.zip", "robot_configuration=in/kr6.cfg", "dravo=in/ctrl_v5.zip"},
        {{"ctrl_v5.zip", ctrl},
         {"hmi_v2.zip", hmi},
         {"kr6.cfg", cfg},
         {manifest,
          R"({"dravo":{"name":"ctrl_v5.zip"},"hmi":{"name":"hmi_v2.zip"},)"
          R"("robot_configuration":{"name":"kr6.cfg"}})"}});
    row("Chinese names", "升级包", {"language=in/语言包.zip", "dravo=in/控制器.bin"},
        {{"控制器.bin", ctrl},
         {"语言包.zip", language},
         {manifest, R"({"dravo":{"name":"控制器.bin"},"language":{"name":"语言包.zip"}})"}});
    row("empty item", "pkg", {"logo=in/empty.png"},
        {{"empty.png", ""}, {manifest, R"({"logo":{"name":"empty.png"}})"}});
    row("no items", "pkg", {}, {{manifest, "{}"}});

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
                                  << combinedRun;

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
    for (const char *writer : {"zip -j", "python deflated", "python stored", "7z", "bsdtar"})
        QTest::newRow(writer) << files << QStringList() << writer << chinese << "pkg"
                              << QStringList {"combined=old/combined.zip", "logo=in/logo.png"}
                              << merged;
    QTest::newRow("GB18030 Windows tool")
        << files << QStringList() << "GB18030 Windows tool"
        << NamedBytes {{"控制器.bin", ctrl},
                       {"语言包.zip", language},
                       {manifest,
                        R"({"language":{"name":"语言包.zip"},"dravo":{"name":"控制器.bin"}})"}}
        << "pkg" << QStringList {"combined=old/combined.zip"}
        << NamedBytes {
               {"控制器.bin", ctrl},
               {"语言包.zip", language},
               {manifest, R"({"dravo":{"name":"控制器.bin"},"language":{"name":"语言包.zip"}})"}};
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
                       {manifest, R"({"hmi":{"name":"hmi_v2.zip"},"logo":{"name":"Café.png"}})"}};
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
    TestFolder folder;
    for (const auto &file : files)
        folder.write(file.first, file.second);
    QVERIFY(QDir().mkpath("out") && QDir().mkpath("old"));
    QByteArray output;
    if (!earlier.isEmpty())
        QVERIFY2(build("old", "combined", earlier, &output) == 0, output.constData());
    if (!writer.isEmpty())
        QVERIFY2(writeWithTool(folder, writer, packed, &output), output.constData());

    QVERIFY2(build("out", name, items, &output) == 0, output.constData());
    const QString archive = folder.path("out/" + name + ".zip");
    QCOMPARE(QString::fromUtf8(output),
             archive + "\t" + QString::number(QFileInfo(archive).size()) + "\n");
    const QStringList problems = readerProblems(archive, expected) + headerProblems(archive);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

QTEST_GUILESS_MAIN(InteropTest)
#include "tst_interop.moc"
