// The command-line program as a build server runs it: every exit code, what
// inspect finds in packages made for it, the same packages as the window
// writes, and no Gui or Widgets library under it.
#include "mainwindow.h"
#include "packagemanifest.h"
#include "readermatrix.h"
#include "testsupport.h"
#include "upgradeitemtypes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#ifndef Q_OS_WIN
#include <csignal>
#endif

namespace {

// How a row runs, besides starting the program with its arguments.
enum class Action {
    Run,
    FullDisk, // with a file size limit of 100 KiB, SIGXFSZ not ignored
    Interrupt, // SIGINT once the archive is being written
    Terminate, // SIGTERM once the archive is being written
    CorruptPackage, // inspect a package the program built, one data byte flipped
    CompareWithWindow, // build the same rows through the window
    LinkedLibraries, // readelf -d of the program
};

const QByteArray earlier = "the package of last week";
const QString hint = QStringLiteral("Try 'upgrade-package-cli --help' for more information.");

QString crcText(const QByteArray &data)
{
    return QStringLiteral("%1").arg(expectedEntries({{QString(), data}}).first().crc, 8, 16,
                                    QLatin1Char('0'));
}

struct Outcome
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Whether the process holds open a file without a name in folder: what
// /proc shows for a file made with O_TMPFILE. On Windows: its hidden file
// there holds data.
bool writesIn(qint64 pid, const QString &folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(pid)
    const QFileInfoList hidden
        = QDir(folder).entryInfoList({QStringLiteral(".upkg-*.tmp")}, QDir::Files | QDir::Hidden);
    return !hidden.isEmpty() && hidden.first().size() > 0;
#endif
    QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo &fd : descriptors.entryInfoList(QDir::Files | QDir::System)) {
        const QString target = fd.symLinkTarget();
        if (target.startsWith(folder + "/#") && target.endsWith(" (deleted)"))
            return true;
    }
    return false;
}

Outcome runCli(const QStringList &arguments, Action action)
{
    QProcess process;
    if (action == Action::FullDisk)
        process.start("bash",
                      // SIGXFSZ left as it is: the program itself must turn it into EFBIG.
                      QStringList {"-c", "ulimit -f 100; exec \"$@\"", "cli", CLI_EXECUTABLE}
                          + arguments);
    else
        process.start(CLI_EXECUTABLE, arguments);
    if (!process.waitForStarted())
        return {};
    if (action == Action::Interrupt || action == Action::Terminate) {
        // The archive is written into a file without a name, which the
        // program holds open: once it does, the run is reading the item.
        QDeadlineTimer deadline(60000);
        while (!writesIn(process.processId(), QDir("out").absolutePath()) && !deadline.hasExpired()
               && process.state() == QProcess::Running)
            QTest::qWait(20);
#ifndef Q_OS_WIN
        if (process.state() == QProcess::Running && process.processId() > 0)
            ::kill(pid_t(process.processId()), action == Action::Interrupt ? SIGINT : SIGTERM);
#endif
    }
    process.waitForFinished(300000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// inspect --json's report as lines, in the order it holds them.
QStringList reportLines(const QByteArray &json)
{
    const QJsonObject report = QJsonDocument::fromJson(json).object();
    QStringList lines {"package: " + report.value("package").toString(),
                       QStringLiteral("valid: ")
                           + (report.value("valid").toBool() ? "true" : "false")};
    for (const QJsonValue &item : report.value("items").toArray()) {
        const QJsonObject i = item.toObject();
        lines << QStringLiteral("item: %1 %2 %3 %4")
                     .arg(i.value("type").toString(), i.value("name").toString())
                     .arg(i.value("size").toDouble())
                     .arg(i.value("crc32").toString());
    }
    for (const QString kind : {"problem", "note"}) {
        for (const QJsonValue &value : report.value(kind + QStringLiteral("s")).toArray()) {
            const QJsonObject o = value.toObject();
            lines << QStringLiteral("%1: %2 %3 %4")
                         .arg(kind, o.value("code").toString(),
                              o.value("entry").isNull() ? "-" : o.value("entry").toString(),
                              o.value("message").toString());
        }
    }
    return lines;
}

// The window's rows for the --item options.
QList<QPair<int, QString>> windowRows(const QStringList &arguments)
{
    QList<QPair<int, QString>> rows;
    for (int i = arguments.indexOf("--item"); i >= 0; i = arguments.indexOf("--item", i + 1)) {
        const QString type = arguments.at(i + 1).section('=', 0, 0);
        rows.append({type == "combined" ? combinedPackageTypeIndex : upgradeTypeKeys.indexOf(type),
                     arguments.at(i + 1).section('=', 1)});
    }
    return rows;
}

QStringList describe(const QList<ArchiveEntry> &entries)
{
    QStringList lines;
    for (const ArchiveEntry &e : entries)
        lines << QStringLiteral("%1 method %2 %3 bytes crc %4")
                     .arg(e.name)
                     .arg(e.method)
                     .arg(e.data.size())
                     .arg(crcText(e.data));
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(Action)

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void nameRulesInBothShells_data();
    void nameRulesInBothShells();
    void replacingAnItemOfTheCombinedPackage_data();
    void replacingAnItemOfTheCombinedPackage();
    void somethingChangesAtTheArchivePathDuringARun_data();
    void somethingChangesAtTheArchivePathDuringARun();
};

void CliTest::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Entries>("package"); // written to old/pkg.zip first
    QTest::addColumn<Action>("action");
    QTest::addColumn<int>("exitCode");
    // What the run printed on stderr ("@" the test folder); for a successful
    // build the package's entries; for inspect --json its report as lines.
    QTest::addColumn<QStringList>("expected");

    const auto build = [](const QStringList &items, const QString &name = "pkg") {
        QStringList arguments {"build", "--output-dir", "out", "--name", name, "--force"};
        for (const QString &item : items)
            arguments << "--item" << item;
        return arguments;
    };
    const QStringList inspect {"inspect", "--json", "old/pkg.zip"};
    const QString manifest = "upgrade_package_config.json";
    const QString failed = "打包失败: 文件压缩失败!";
    const Entries none;
    const Entries valid
        = {{'f', "hmi.zip", "hmi v2"},
           {'s', "控制器.bin", "控制器 v5"},
           {'f', manifest, R"({"hmi":{"name":"hmi.zip"},"dravo":{"name":"控制器.bin"}})"}};

    QTest::newRow("0 built") << build({"hmi=in/hmi.zip", "dravo=in/控制器.bin"}) << none
                             << Action::Run << 0 << QStringList {"控制器.bin", "hmi.zip", manifest};
    QTest::newRow("0 quiet") << build({"hmi=in/hmi.zip"}) + QStringList {"--quiet"} << none
                             << Action::Run << 0 << QStringList {"hmi.zip", manifest};
    QTest::newRow("0 types by alias and label")
        << build({"controller=in/控制器.bin", "定制logo=in/empty.png", "HMI=in/hmi.zip"}) << none
        << Action::Run << 0 << QStringList {"控制器.bin", "hmi.zip", "empty.png", manifest};
    // 251 bytes and ".zip" fill a file name; the run needs no longer one.
    QTest::newRow("0 longest name") << build({"hmi=in/hmi.zip"}, QString(251, 'n')) << none
                                    << Action::Run << 0 << QStringList {"hmi.zip", manifest};
    QTest::newRow("1 archive exists")
        << QStringList {"build", "--output-dir", "out", "--name", "pkg", "--item", "hmi=in/hmi.zip"}
        << none << Action::Run << 1
        << QStringList {"升级包已存在: 「@/out/pkg.zip」", "用 --force 替换它"};
    QTest::newRow("1 name not for Windows")
        << build({"hmi=in/hmi.zip"}, "v5:final") << none << Action::Run << 1
        << QStringList {
               "文件名错误: 生成压缩包文件名不能包含字符“:”",
               "升级包会被复制到Windows电脑和U盘（FAT/exFAT）上，名称须在这些系统上都能使用；"
               "不能使用的字符：< > : \" | ? *"};
    QTest::newRow("1 no output folder")
        << QStringList {"build", "--output-dir", "nowhere", "--name", "pkg"} << none << Action::Run
        << 1 << QStringList {"路径不存在: 压缩包生成路径不存在", "不是已有的文件夹：「@/nowhere」"};
    QTest::newRow("1 type repeated")
        << build({"hmi=in/hmi.zip", "hmi=in/none.zip"}) << none << Action::Run << 1
        << QStringList {"类型重复: 一个升级包内同一类型升级项仅可存在一个", "重复的类型：HMI"};
    QTest::newRow("1 item missing")
        << build({"hmi=in/hmi.zip", "dravo=in/none.bin"}) << none << Action::Run << 1
        << QStringList {"文件不存在: 控制器文件不存在，请检查对应路径",
                        "找不到：「@/in/none.bin」"};
    QTest::newRow("1 pasted item path with a trailing blank")
        << build({"hmi=in/hmi.zip "}) << none << Action::Run << 1
        << QStringList {"文件不存在: HMI文件不存在，请检查对应路径", "找不到：「@/in/hmi.zip 」",
                        "路径末尾有空格，去掉空格后的路径存在：「@/in/hmi.zip」"};
    QTest::newRow("1 combined package refused")
        << build({"combined=old/pkg.zip"}) << Entries {{'f', "hmi.zip", "hmi"}} << Action::Run << 1
        << QStringList {"解压失败: HMI和控制器升级包解压失败!",
                        "组合包中缺少upgrade_package_config.json：「@/old/pkg.zip」"};
    QTest::newRow("2 unknown option")
        << build({"hmi=in/hmi.zip"}) + QStringList {"--bogus"} << none << Action::Run << 2
        << QStringList {"upgrade-package-cli: Unknown option 'bogus'.", hint};
    QTest::newRow("2 unknown type")
        << build({"firmware=in/hmi.zip"}) << none << Action::Run << 2
        << QStringList {"upgrade-package-cli: unknown item type 'firmware' (one of hmi, dravo, "
                        "robot_configuration, 3d_model, logo, servo, language, combined)",
                        hint};
    QTest::newRow("2 missing value")
        << QStringList {"build", "--output-dir", "out", "--name"} << none << Action::Run << 2
        << QStringList {"upgrade-package-cli: Missing value after '--name'.", hint};
    // An item's own fault is the input's, as it is for a combined package.
    QTest::newRow("1 item is a folder")
        << build({"hmi=in/hmi.zip", "servo=in/folder"}) << none << Action::Run << 1
        << QStringList {failed, "不是普通文件：「@/in/folder」"};
    QTest::newRow("1 item is a FIFO") << build({"servo=in/fifo"}) << none << Action::Run << 1
                                      << QStringList {failed, "不是普通文件：「@/in/fifo」"};
    QTest::newRow("1 combined package is a FIFO")
        << build({"combined=in/fifo"}) << none << Action::Run << 1
        << QStringList {"解压失败: HMI和控制器升级包解压失败!", "不是普通文件：「@/in/fifo」"};
    QTest::newRow("3 file-size limit")
        << build({"hmi=in/hmi.zip", "logo=in/big.bin"}) << none << Action::FullDisk << 3
        << QStringList {failed,
                        "升级包超出了文件大小上限（本进程可写文件的大小上限为102400字节，"
                        "见 ulimit -f）：「@/out/pkg.zip」"};
    QTest::newRow("130 interrupted, earlier package kept")
        << build({"hmi=in/huge.bin"}) << none << Action::Interrupt << 130
        << QStringList {"upgrade-package-cli: 已取消打包"};
    QTest::newRow("130 interrupted, no package left")
        << build({"hmi=in/huge.bin"}, "fresh") << none << Action::Interrupt << 130
        << QStringList {"upgrade-package-cli: 已取消打包"};
    QTest::newRow("143 terminated, earlier package kept")
        << build({"hmi=in/huge.bin"}) << none << Action::Terminate << 143
        << QStringList {"upgrade-package-cli: 已取消打包"};

    QTest::newRow("inspect valid")
        << inspect << valid << Action::Run << 0
        << QStringList {"package: old/pkg.zip", "valid: true", "item: dravo 控制器.bin 12 046fed0e",
                        "item: hmi hmi.zip 6 fb16eef1"};
    QTest::newRow("inspect missing manifest")
        << inspect << Entries {valid.at(0), valid.at(1)} << Action::Run << 1
        << QStringList {"package: old/pkg.zip", "valid: false",
                        "problem: manifest-missing - 组合包中缺少upgrade_package_config.json",
                        "note: entry-left-out hmi.zip 未列入清单、未打包：hmi.zip",
                        "note: entry-left-out 控制器.bin 未列入清单、未打包：控制器.bin"};
    QTest::newRow("inspect manifest in a folder")
        << inspect << Entries {{'d', "pkgdir/", ""}, {'f', "pkgdir/" + manifest, "{}"}}
        << Action::Run << 1
        << QStringList {"package: old/pkg.zip", "valid: false",
                        "problem: manifest-in-folder pkgdir/upgrade_package_config.json "
                        "清单在文件夹 pkgdir/ 中：请压缩文件夹里的文件，而不是文件夹本身",
                        "note: entry-left-out pkgdir/ 未列入清单、未打包：pkgdir/",
                        "note: entry-left-out pkgdir/upgrade_package_config.json "
                        "未列入清单、未打包：pkgdir/upgrade_package_config.json"};
    QTest::newRow("inspect named entry missing")
        << inspect << Entries {valid.at(0), valid.at(2)} << Action::Run << 1
        << QStringList {"package: old/pkg.zip", "valid: false", "item: hmi hmi.zip 6 fb16eef1",
                        "problem: named-entry-missing 控制器.bin "
                        "组合包中dravo项所指的文件控制器.bin不存在"};
    QTest::newRow("inspect entry the manifest does not name")
        << inspect << valid + Entries {{'f', "readme.txt", "x"}} << Action::Run << 0
        << QStringList {"package: old/pkg.zip", "valid: true", "item: dravo 控制器.bin 12 046fed0e",
                        "item: hmi hmi.zip 6 fb16eef1",
                        "note: entry-left-out readme.txt 未列入清单、未打包：readme.txt"};
    QTest::newRow("inspect near-miss type key and unsafe name")
        << inspect
        << Entries {valid.at(0),
                    {'f', "../evil.sh", "x"},
                    {'f', manifest, R"({"hmi":{"name":"hmi.zip"},"ｈｍｉ":{"name":"hmi.zip"}})"}}
        << Action::Run << 1
        << QStringList {"package: old/pkg.zip", "valid: false", "item: hmi hmi.zip 6 fb16eef1",
                        "problem: unsafe-entry-name ../evil.sh 组合包中的文件名../evil.sh指向包外",
                        "problem: key-imitates-type upgrade_package_config.json "
                        "组合包中的类型“ｈｍｉ”与hmi相近（大小写、空白或全角不同）"};
    QTest::newRow("inspect CRC mismatch")
        << inspect << none << Action::CorruptPackage << 1
        << QStringList {
               "package: old/pkg.zip", "valid: false",
               "item: dravo 控制器.bin 50000 " + crcText(randomBytes(50000, 1)),
               "item: hmi hmi.zip 6 fb16eef1",
               "problem: entry-corrupt 控制器.bin 组合包中的控制器.bin已损坏（CRC校验失败）"};
    // Names that would act on a terminal: escaped in the text and in JSON's
    // messages; JSON's "entry" is the name, in JSON's own escapes.
    const QString terminal = "\x1b]0;pwned\x07\x1b[2J.txt";
    const QString escaped = "\\x1b]0;pwned\\x07\\x1b[2J.txt";
    QTest::newRow("inspect a name that acts on a terminal")
        << QStringList {"inspect", "old/pkg.zip"} << valid + Entries {{'f', terminal, "x"}}
        << Action::Run << 0
        << QStringList {"package: old/pkg.zip",
                        "  dravo                 控制器.bin  12 bytes  crc32 046fed0e",
                        "  hmi                   hmi.zip  6 bytes  crc32 fb16eef1",
                        "note: 未列入清单、未打包：" + escaped, "valid"};
    QTest::newRow("inspect --json a name that acts on a terminal")
        << inspect << valid + Entries {{'f', terminal, "x"}} << Action::Run << 0
        << QStringList {"package: old/pkg.zip", "valid: true", "item: dravo 控制器.bin 12 046fed0e",
                        "item: hmi hmi.zip 6 fb16eef1",
                        "note: entry-left-out " + terminal + " 未列入清单、未打包：" + escaped};
    QTest::newRow("inspect not a package")
        << QStringList {"inspect", "--json", "in/hmi.zip"} << none << Action::Run << 1
        << QStringList {"package: in/hmi.zip", "valid: false",
                        "problem: not-zip - 不是有效的ZIP文件（没有结束记录）"};

    QTest::newRow("inspect a pasted path with a trailing blank")
        << QStringList {"inspect", "--json", "old/pkg.zip "} << valid << Action::Run << 1
        << QStringList {"package: old/pkg.zip ", "valid: false",
                        "problem: not-found - "
                        "文件不存在；路径末尾有空格，去掉空格后的路径存在：「@/old/pkg.zip」"};

    QTest::newRow("same as the window: plain items")
        << build(
               {"servo=in/servo.cfg", "dravo=in/控制器.bin", "logo=in/empty.png", "hmi=in/hmi.zip"})
        << none << Action::CompareWithWindow << 0 << QStringList();
    QTest::newRow("same as the window: combined package")
        << build({"language=in/servo.cfg", "combined=old/pkg.zip"}) << valid
        << Action::CompareWithWindow << 0 << QStringList();

    QTest::newRow("no Gui or Widgets library")
        << QStringList() << none << Action::LinkedLibraries << 0 << QStringList();
}

void CliTest::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(Entries, package);
    QFETCH(Action, action);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);
    TestFolder folder;

#ifdef Q_OS_WIN
    // Signals, ulimit and readelf are Linux's; tests/windows/run.sh sends
    // Ctrl+C and checks the Windows folder's DLLs.
    if (action == Action::FullDisk || action == Action::Interrupt || action == Action::Terminate
        || action == Action::LinkedLibraries)
        QSKIP("Linux's own");
#endif
    if (action == Action::LinkedLibraries) {
        QByteArray output;
        QCOMPARE(runProgram("readelf", {"-d", CLI_EXECUTABLE}, &output), 0);
        QStringList needed;
        auto libraries = QRegularExpression("\\(NEEDED\\).*\\[(.*)\\]").globalMatch(output);
        while (libraries.hasNext())
            needed << libraries.next().captured(1);
        QVERIFY2(needed.contains("libQt5Core.so.5"), output.constData());
        QCOMPARE(needed.filter(QRegularExpression("^libQt5(Gui|Widgets)")), QStringList());
        return;
    }

    folder.write("in/hmi.zip", "hmi v2");
    folder.write("in/控制器.bin", randomBytes(50000, 1));
    folder.write("in/empty.png", "");
    folder.write("in/servo.cfg", QByteArray("servo parameters\n").repeated(2000));
    QVERIFY(QDir().mkpath("in/folder"));
    if (!makeFifo("in/fifo") && arguments.join(' ').contains("in/fifo"))
        QSKIP("Windows has no FIFOs");
    if (action == Action::FullDisk)
        folder.write("in/big.bin", randomBytes(1 << 20, 2));
    if (action == Action::Interrupt || action == Action::Terminate)
        folder.write("in/huge.bin", randomBytes(256 << 20, 3));
    folder.write("out/pkg.zip", earlier);
    QVERIFY(QDir().mkpath("old"));
    if (!package.isEmpty())
        writeZip("old/pkg.zip", package);

    if (action == Action::CorruptPackage) {
        QByteArray output;
        QCOMPARE(runProgram(CLI_EXECUTABLE,
                            {"build", "--output-dir", "old", "--name", "pkg", "--item",
                             "hmi=in/hmi.zip", "--item", "dravo=in/控制器.bin"},
                            &output),
                 0);
        // The first entry's data: random bytes, kept in stored deflate
        // blocks, so one flipped byte leaves a stream that inflates to the
        // wrong bytes.
        QByteArray bytes = readFile("old/pkg.zip");
        const auto field = [&](int at) {
            return int(quint8(bytes.at(at))) | int(quint8(bytes.at(at + 1))) << 8;
        };
        const int at = 30 + field(26) + field(28) + 25000;
        bytes[at] = char(bytes.at(at) ^ 0x01);
        folder.write("old/pkg.zip", bytes);
    }

    const Outcome outcome = runCli(arguments, action);
    const QString stdErr = QString::fromUtf8(outcome.err);
    QVERIFY2(outcome.exitCode == exitCode,
             qPrintable(QStringLiteral("exit code %1: %2").arg(outcome.exitCode).arg(stdErr)));

    if (action == Action::CompareWithWindow) {
        MainWindow window;
        WindowDriver driver(&window);
        ModalWatcher watcher;
        window.show();
        driver.pathEdit()->setText("window");
        driver.nameEdit()->setText("pkg");
        driver.setRows(windowRows(arguments));
        QVERIFY(QDir().mkpath("window"));
        driver.startButton()->click();
        QVERIFY(watcher.waitForMessages(1));
        QCOMPARE(watcher.messages.first().title, QStringLiteral("打包成功"));
        const QList<ArchiveEntry> fromCli = readZip("out/pkg.zip"),
                                  fromWindow = readZip("window/pkg.zip");
        QVERIFY(!fromWindow.isEmpty());
        QCOMPARE(describe(fromCli), describe(fromWindow));
        for (int i = 0; i < fromWindow.size(); ++i)
            QCOMPARE(fromCli.at(i).data, fromWindow.at(i).data);
        return;
    }

    if (arguments.first() == "inspect") {
        QCOMPARE(stdErr, QString());
        // Nothing that acts on a terminal: no control character but line ends.
        QVERIFY(!QString::fromUtf8(outcome.out)
                     .contains(QRegularExpression("[\\x00-\\x09\\x0b-\\x1f\\x7f]")));
        const QString report = arguments.contains("--json")
            ? reportLines(outcome.out).join('\n')
            : QString::fromUtf8(outcome.out).trimmed();
        QCOMPARE(report, withSystemPaths(expected.join('\n').replace('@', folder.path())));
        return;
    }
    // Nothing else in the output folder: no temporary file, no manifest.
    const QString name = arguments.value(arguments.indexOf("--name") + 1);
    QStringList files {"pkg.zip"};
    if (exitCode == 0 && name != "pkg")
        files << name + ".zip";
    files.sort();
    QCOMPARE(filesBelow(folder.path("out")), files);
    if (exitCode == 0) {
        const QString archive = folder.path("out/" + name + ".zip");
        QCOMPARE(QString::fromUtf8(outcome.out),
                 arguments.contains("--quiet") ? QString()
                                               : QDir::toNativeSeparators(archive) + "\t"
                         + QString::number(QFileInfo(archive).size()) + "\n");
        // Progress goes only to a terminal.
        QCOMPARE(stdErr, QString());
        QCOMPARE(zipEntryNames(archive), expected);
    } else {
        QCOMPARE(readFile("out/pkg.zip"), earlier);
        QCOMPARE(QString::fromUtf8(outcome.out), QString());
        QCOMPARE(stdErr, withSystemPaths(expected.join('\n').replace('@', folder.path())) + '\n');
    }
}

// One rule for package names in the window and on the command line: the same
// refusal in the same words, before anything is written, for each rule.
void CliTest::nameRulesInBothShells_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("archive"); // what is written when the name is taken
    for (const char *name :
         {"../escape", "a\\b", "..", "v5:final", "v5?", "tab\there", "CON.zip", "lpt9", " pkg",
          "pkg ", "pkg.", "pkg\u200b", "\u202egpj.zip", "pk\u00adg", "pkg\u200e"})
        QTest::newRow(name) << QString::fromUtf8(name) << QString();
    QTest::newRow("256 bytes with .zip") << QString(252, 'n') << QString();
    QTest::newRow("typed .ZIP") << "pkg.ZIP"
                                << "pkg.zip";
    QTest::newRow("Chinese with a blank inside") << "升级包 v5"
                                                 << "升级包 v5.zip";
}

void CliTest::nameRulesInBothShells()
{
    QFETCH(QString, name);
    QFETCH(QString, archive);
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi v2");
    QVERIFY(QDir().mkpath("cli") && QDir().mkpath("window"));

    QProcess process;
    process.start(CLI_EXECUTABLE,
                  {"build", "--output-dir", "cli", "--name", name, "--item", "hmi=in/hmi.zip"});
    QVERIFY(process.waitForFinished());
    const QString cliError = QString::fromUtf8(process.readAllStandardError());

    MainWindow window;
    WindowDriver driver(&window);
    ModalWatcher watcher;
    window.show();
    driver.pathEdit()->setText("window");
    driver.nameEdit()->setText(name);
    driver.setRows({{0, "in/hmi.zip"}});
    driver.startButton()->click();
    QVERIFY(watcher.waitForMessages(1));
    const SeenMessage seen = watcher.messages.first();

    if (!archive.isEmpty()) {
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(seen.title, QStringLiteral("打包成功"));
        QCOMPARE(filesBelow(folder.path("cli")), QStringList {archive});
        QCOMPARE(filesBelow(folder.path("window")), QStringList {archive});
        return;
    }
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(seen.title, QStringLiteral("文件名错误"));
    QCOMPARE(cliError.section('\n', 0, 0), seen.title + ": " + seen.text);
    QCOMPARE(window.focusWidget(), static_cast<QWidget *>(driver.nameEdit()));
    QCOMPARE(filesBelow(folder.path()), QStringList({"cli", "in", "in/hmi.zip", "window"}));
}

// --replace lets an --item take the place of the combined package's item of
// its type; without it the refusal says how.
void CliTest::replacingAnItemOfTheCombinedPackage_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdErr");
    QTest::newRow("without --replace")
        << QStringList() << 1
        << "类型重复: 一个升级包内同一类型升级项仅可存在一个\n"
           "组合包 v4.zip 中已有HMI（hmi_v1.zip）；用 --replace 以 --item 的文件替换它\n";
    QTest::newRow("--replace") << QStringList {"--replace"} << 0
                               << "已替换：HMI hmi_v1.zip → hmi_v2.zip\n";
    QTest::newRow("--replace --quiet") << QStringList {"--replace", "--quiet"} << 0 << QString();
}

void CliTest::replacingAnItemOfTheCombinedPackage()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, stdErr);
    TestFolder folder;
    writeZip("v4.zip", {{'f', "hmi_v1.zip", "hmi v1"},
                        {'f', "控制器.bin", "控制器 v5"},
                        {'f', manifestFileName, R"({"hmi":{"name":"hmi_v1.zip"},"dravo":{"name":"控制器.bin"}})"}});
    folder.write("in/hmi_v2.zip", "hmi v2");
    QVERIFY(QDir().mkpath("out"));
    const Outcome outcome = runCli(QStringList {"build", "--output-dir", "out", "--name", "v5",
                                                "--item", "combined=v4.zip", "--item",
                                                "hmi=in/hmi_v2.zip"}
                                       + options,
                                   Action::Run);
    QCOMPARE(outcome.exitCode, exitCode);
    QCOMPARE(QString::fromUtf8(outcome.err), stdErr);
    if (exitCode != 0) {
        QCOMPARE(filesBelow(folder.path("out")), QStringList());
        return;
    }
    QList<QPair<QString, QByteArray>> contents;
    for (const ArchiveEntry &entry : readZip("out/v5.zip"))
        contents.append({entry.name, entry.data});
    QCOMPARE(contents, (QList<QPair<QString, QByteArray>> {
                           {"控制器.bin", "控制器 v5"},
                           {"hmi_v2.zip", "hmi v2"},
                           {manifestFileName, R"({"dravo":{"name":"控制器.bin"},"hmi":{"name":"hmi_v2.zip"}})"}}));
}

// What the user agreed to is decided before the run; what comes to the
// archive's path while it writes is never replaced without being asked, and
// a folder moved meanwhile still gets the archive, reported where it is.
void CliTest::somethingChangesAtTheArchivePathDuringARun_data()
{
    QTest::addColumn<bool>("force"); // an earlier archive stands there, --force given
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("a package appears") << false << "appear" << 1;
    QTest::newRow("--force, another package put over the earlier one") << true << "appear" << 1;
    QTest::newRow("the output folder is moved") << false << "move" << 0;
}

void CliTest::somethingChangesAtTheArchivePathDuringARun()
{
    QFETCH(bool, force);
    QFETCH(QString, change);
    QFETCH(int, exitCode);
#ifdef Q_OS_WIN
    // Windows moves no folder that holds an open file; Wine does, and then
    // loses the open file's path.
    if (change == "move")
        QSKIP("Linux's own");
#endif
    TestFolder folder;
    folder.write("in/hmi.bin", randomBytes(96 << 20, 4));
    QVERIFY(QDir().mkpath("out"));
    if (force)
        folder.write("out/pkg.zip", earlier);
    QStringList arguments {"build", "--output-dir", "out",           "--name",
                           "pkg",   "--item",       "hmi=in/hmi.bin"};
    if (force)
        arguments << "--force";
    QProcess process;
    process.start(CLI_EXECUTABLE, arguments);
    QVERIFY(process.waitForStarted());
    QDeadlineTimer deadline(60000);
    while (!writesIn(process.processId(), QDir("out").absolutePath()) && !deadline.hasExpired())
        QTest::qWait(20);
    const QByteArray colleagues = "a colleague's package, copied in meanwhile";
    if (change == "appear") {
        folder.write("out/incoming.part", colleagues);
        QVERIFY(
            QFile::rename("out/incoming.part", "out/pkg.zip")
            || (QFile::remove("out/pkg.zip") && QFile::rename("out/incoming.part", "out/pkg.zip")));
    } else {
        QVERIFY(QDir().rename("out", "moved"));
    }
    QVERIFY(process.waitForFinished(300000));
    const QString stdErr = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitCode() == exitCode, qPrintable(stdErr));
    if (change == "appear") {
        QCOMPARE(readFile("out/pkg.zip"), colleagues);
        QCOMPARE(filesBelow(folder.path("out")), QStringList {"pkg.zip"});
        QCOMPARE(stdErr,
                 "升级包已存在: 「" + QDir::toNativeSeparators(folder.path("out/pkg.zip")) + "」"
                     + "\n打包期间有另一个文件出现在此处；它保持不变，新的升级包未写入\n");
        return;
    }
    const QString archive = folder.path("moved/pkg.zip");
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()),
             archive + "\t" + QString::number(QFileInfo(archive).size()) + "\n");
    QCOMPARE(stdErr, "输出文件夹在打包期间被移动，升级包在：「" + archive + "」\n");
    QCOMPARE(zipEntryNames(archive), QStringList({"hmi.bin", manifestFileName}));
}

QTEST_MAIN(CliTest)
#include "tst_cli.moc"
