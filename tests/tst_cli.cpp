// The command-line program as a build server runs it: every exit code, what
// inspect finds in packages made for it, the same packages as the window
// writes, and no Gui or Widgets library under it.
#include "mainwindow.h"
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

#include <csignal>
#include <sys/stat.h>

namespace {

// How a row runs, besides starting the program with its arguments.
enum class Action {
    Run,
    FullDisk, // with a file size limit of 100 KiB
    Interrupt, // SIGINT once the archive is being written
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

Outcome runCli(const QStringList &arguments, Action action)
{
    QProcess process;
    if (action == Action::FullDisk)
        process.start(
            "bash",
            QStringList {"-c", "trap '' XFSZ; ulimit -f 100; exec \"$@\"", "cli", CLI_EXECUTABLE}
                + arguments);
    else
        process.start(CLI_EXECUTABLE, arguments);
    if (!process.waitForStarted())
        return {};
    if (action == Action::Interrupt) {
        // The archive is written beside its place: once that file is there,
        // the run is reading the item.
        QDeadlineTimer deadline(60000);
        while (QDir("out").entryList(QDir::Files).size() < 2 && !deadline.hasExpired()
               && process.state() == QProcess::Running)
            QTest::qWait(20);
        ::kill(pid_t(process.processId()), SIGINT);
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
    for (const QJsonValue &problem : report.value("problems").toArray())
        lines << "problem: " + problem.toString();
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
        QStringList arguments {"build", "--output-dir", "out", "--name", name};
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
    QTest::newRow("1 no output folder")
        << QStringList {"build", "--output-dir", "nowhere", "--name", "pkg"} << none << Action::Run
        << 1 << QStringList {"路径不存在: 压缩包生成路径不存在", "不是已有的文件夹：nowhere"};
    QTest::newRow("1 type repeated")
        << build({"hmi=in/hmi.zip", "hmi=in/none.zip"}) << none << Action::Run << 1
        << QStringList {"类型重复: 一个升级包内同一类型升级项仅可存在一个", "重复的类型：HMI"};
    QTest::newRow("1 item missing")
        << build({"hmi=in/hmi.zip", "dravo=in/none.bin"}) << none << Action::Run << 1
        << QStringList {"文件不存在: 控制器文件不存在，请检查对应路径", "找不到：in/none.bin"};
    QTest::newRow("1 combined package refused")
        << build({"combined=old/pkg.zip"}) << Entries {{'f', "hmi.zip", "hmi"}} << Action::Run << 1
        << QStringList {"解压失败: HMI和控制器升级包解压失败!",
                        "组合包中缺少upgrade_package_config.json：old/pkg.zip"};
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
    QTest::newRow("3 item is a folder")
        << build({"hmi=in/hmi.zip", "servo=in/folder"}) << none << Action::Run << 3
        << QStringList {failed, "不是普通文件：in/folder"};
    QTest::newRow("3 item is a FIFO") << build({"servo=in/fifo"}) << none << Action::Run << 3
                                      << QStringList {failed, "不是普通文件：in/fifo"};
    QTest::newRow("3 disk full") << build({"hmi=in/hmi.zip", "logo=in/big.bin"}) << none
                                 << Action::FullDisk << 3
                                 << QStringList {failed, "磁盘空间不足：@/out"};
    QTest::newRow("130 interrupted, earlier package kept")
        << build({"hmi=in/huge.bin"}) << none << Action::Interrupt << 130
        << QStringList {"upgrade-package-cli: 已取消打包"};
    QTest::newRow("130 interrupted, no package left")
        << build({"hmi=in/huge.bin"}, "fresh") << none << Action::Interrupt << 130
        << QStringList {"upgrade-package-cli: 已取消打包"};

    QTest::newRow("inspect valid")
        << inspect << valid << Action::Run << 0
        << QStringList {"package: old/pkg.zip", "valid: true", "item: dravo 控制器.bin 12 046fed0e",
                        "item: hmi hmi.zip 6 fb16eef1"};
    QTest::newRow("inspect missing manifest")
        << inspect << Entries {valid.at(0), valid.at(1)} << Action::Run << 1
        << QStringList {"package: old/pkg.zip", "valid: false",
                        "problem: 组合包中缺少upgrade_package_config.json",
                        "problem: 组合包中的hmi.zip未列在upgrade_package_config.json中",
                        "problem: 组合包中的控制器.bin未列在upgrade_package_config.json中"};
    QTest::newRow("inspect named entry missing")
        << inspect << Entries {valid.at(0), valid.at(2)} << Action::Run << 1
        << QStringList {"package: old/pkg.zip", "valid: false", "item: hmi hmi.zip 6 fb16eef1",
                        "problem: 组合包中dravo项所指的文件控制器.bin不存在"};
    QTest::newRow("inspect unnamed entry")
        << inspect << valid + Entries {{'f', "extra.bin", "x"}} << Action::Run << 1
        << QStringList {"package: old/pkg.zip", "valid: false",
                        "item: dravo 控制器.bin 12 046fed0e", "item: hmi hmi.zip 6 fb16eef1",
                        "problem: 组合包中的extra.bin未列在upgrade_package_config.json中"};
    QTest::newRow("inspect CRC mismatch")
        << inspect << none << Action::CorruptPackage << 1
        << QStringList {"package: old/pkg.zip", "valid: false",
                        "item: dravo 控制器.bin 50000 " + crcText(randomBytes(50000, 1)),
                        "item: hmi hmi.zip 6 fb16eef1",
                        "problem: 组合包中的控制器.bin已损坏（CRC校验失败）"};

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
    QCOMPARE(::mkfifo("in/fifo", 0644), 0);
    if (action == Action::FullDisk)
        folder.write("in/big.bin", randomBytes(1 << 20, 2));
    if (action == Action::Interrupt)
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
        QCOMPARE(reportLines(outcome.out).join('\n'), expected.join('\n'));
        return;
    }
    // Nothing else in the output folder: no temporary file, no manifest.
    QCOMPARE(filesBelow(folder.path("out")), QStringList {"pkg.zip"});
    if (exitCode == 0) {
        const QString archive = folder.path("out/pkg.zip");
        QCOMPARE(QString::fromUtf8(outcome.out),
                 archive + "\t" + QString::number(QFileInfo(archive).size()) + "\n");
        // Progress goes only to a terminal.
        QCOMPARE(stdErr, QString());
        QCOMPARE(zipEntryNames(archive), expected);
    } else {
        QCOMPARE(readFile("out/pkg.zip"), earlier);
        QCOMPARE(QString::fromUtf8(outcome.out), QString());
        QCOMPARE(stdErr, expected.join('\n').replace('@', folder.path()) + '\n');
    }
}

QTEST_MAIN(CliTest)
#include "tst_cli.moc"
