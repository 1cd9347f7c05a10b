// Whole packaging runs driven through the window as a user would: every
// refused request, the archives of successful runs read back, failing runs,
// the progress shown against the bytes read, cancelling by button, Escape or
// closing the window, and the worker thread across runs.
#include "mainwindow.h"
#include "packagemanifest.h"
#include "testsupport.h"
#include "upgradeitemwidget.h"
#include "windowsession.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <QAtomicInt>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <memory>

using Rows = QList<QPair<int, QString>>;
Q_DECLARE_METATYPE(Rows)

namespace {

const QString replaceTitle = QStringLiteral("升级包已存在");

// This file's name for a window session.
using Session = WindowSession;

} // namespace

class PackagingTest : public QObject
{
    Q_OBJECT

private slots:
    void refusedRequestLeavesEverythingAsItWas_data();
    void refusedRequestLeavesEverythingAsItWas();
    void fullRunStoresItemsInTypeOrderAndTheManifestLast();
    void runWithoutItemsStoresOnlyTheManifest();
    void packageNameRules_data();
    void packageNameRules();
    void returnStartsARun_data();
    void returnStartsARun();
    void failedRunKeepsTheEarlierArchive_data();
    void failedRunKeepsTheEarlierArchive();
    void progressFollowsTheBytesRead();
    void cancelling_data();
    void cancelling();
    void fileComingToTheArchivePathIsAskedAbout_data();
    void fileComingToTheArchivePathIsAskedAbout();
    void compressionRunsOnTheWorkerThreadRunAfterRun();
    void closingTheWindowAroundARun();
};

// One refused request: what the window holds, what the test folder holds
// besides the common inputs ("x/" a folder, "x -> y" a link to y; "@" stands
// for the test folder), the one warning expected with its cause, and where
// the keyboard focus goes after it ("folder", "name", or "row N").
static void addRefusal(const char *tag, const Rows &rows, const QStringList &prepared,
                       const QString &title, const QString &text, const QString &cause,
                       const QString &focus, const QString &folder = "out",
                       const QString &name = "pkg")
{
    QTest::newRow(tag) << folder << name << rows << prepared << title << text << cause << focus;
}

// The widget that a focus name of addRefusal() means.
static QWidget *focusTarget(const WindowDriver &driver, const QString &focus)
{
    if (focus == "folder")
        return driver.pathEdit();
    if (focus == "name")
        return driver.nameEdit();
    UpgradeItemWidget *row = driver.row(focus.section(' ', 1).toInt());
    return row ? row->findChild<QLineEdit *>("lineEditPath") : nullptr;
}

void PackagingTest::refusedRequestLeavesEverythingAsItWas_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<QStringList>("prepared");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("focus");
    const Rows hmi = {{0, "in/hmi.zip"}}, hmiTwice = {{0, "in/hmi.zip"}, {0, "in/hmi.zip"}};
    const QString noFolder = "路径不存在", noFolderText = "压缩包生成路径不存在";
    const QString clash = "路径冲突";
    const QString missing = "文件不存在", typeTwice = "类型重复",
                  typeTwiceText = "一个升级包内同一类型升级项仅可存在一个";
    const QString sameName = "文件名重复";

    addRefusal("empty folder and empty name", hmiTwice, {}, noFolder, noFolderText,
               "未填写生成升级包位置", "folder", "", "");
    addRefusal("folder is a file", hmi, {}, noFolder, noFolderText,
               "不是已有的文件夹：「@/in/hmi.zip」", "folder", "in/hmi.zip");
    addRefusal("missing folder before a repeated type", hmiTwice, {}, noFolder, noFolderText,
               "不是已有的文件夹：「@/nowhere」", "folder", "nowhere");
    addRefusal("empty name before a repeated type", hmiTwice, {}, "文件名错误",
               "生成压缩包文件名为空", "", "name", "out", "");
    addRefusal("repeated type with a missing file",
               {{0, "in/hmi.zip"}, {1, "in/ctrl.zip"}, {0, "in/missing.zip"}}, {}, typeTwice,
               typeTwiceText, "重复的类型：HMI", "row 2");
    addRefusal("two combined packages", {{7, "old/combined.zip"}, {7, "old/second.zip"}}, {},
               typeTwice, typeTwiceText, "重复的类型：组合包", "row 1");
    addRefusal("missing logo stops before the repeated type",
               {{0, "in/hmi.zip"}, {4, "in/missing.png"}, {0, "in/hmi.zip"}}, {}, missing,
               "定制logo文件不存在，请检查对应路径", "找不到：「@/in/missing.png」", "row 1");
    addRefusal("empty item path", {{5, ""}}, {}, missing, "伺服参数文件不存在，请检查对应路径",
               "未填写文件路径", "row 0");
    addRefusal("dangling link", {{5, "in/gone.par"}}, {"in/gone.par -> @/nothing"}, missing,
               "伺服参数文件不存在，请检查对应路径", "找不到：「@/in/gone.par」", "row 0");
    addRefusal("combined package above a missing item",
               {{7, "old/combined.zip"}, {1, "in/missing.zip"}}, {}, missing,
               "控制器文件不存在，请检查对应路径", "找不到：「@/in/missing.zip」", "row 1");
    addRefusal("missing combined package", {{7, "old/none.zip"}}, {}, missing,
               "组合包文件不存在，请检查对应路径", "找不到：「@/old/none.zip」", "row 0");
    // A path pasted with a blank at an end: the quotes show the blank, and the
    // path without it is named where it exists.
    const QString trimmedExists = "\n路径末尾有空格，去掉空格后的路径存在：";
    addRefusal("pasted item path with a trailing blank", {{0, "@/in/hmi.zip "}}, {}, missing,
               "HMI文件不存在，请检查对应路径",
               "找不到：「@/in/hmi.zip 」" + trimmedExists + "「@/in/hmi.zip」", "row 0");
    addRefusal("pasted output folder with a trailing blank", hmi, {}, noFolder, noFolderText,
               "不是已有的文件夹：「@/out 」" + trimmedExists + "「@/out」", "folder", "@/out ");
    addRefusal("trailing blank, and missing without it too", {{1, "in/missing.zip "}}, {}, missing,
               "控制器文件不存在，请检查对应路径", "找不到：「@/in/missing.zip 」", "row 0");
    addRefusal("item is the archive to write", {{0, "in/hmi.zip"}, {3, "out/pkg.zip"}},
               {"out/pkg.zip"}, clash, "3D模型文件不能与生成的升级包相同", "「@/out/pkg.zip」",
               "row 1");
    addRefusal("item is the archive, spelled otherwise", {{6, "./in/../out//pkg.zip"}},
               {"out/pkg.zip"}, clash, "语言包文件不能与生成的升级包相同", "「@/out/pkg.zip」",
               "row 0", "@/out");
    addRefusal("item links to the archive", {{2, "in/link.zip"}},
               {"out/pkg.zip", "in/link.zip -> @/out/pkg.zip"}, clash,
               "机型文件文件不能与生成的升级包相同", "「@/in/link.zip」", "row 0");
    addRefusal("one file name in two folders, case aside",
               {{0, "in/a/update.zip"}, {4, "in/b/UPDATE.zip"}}, {}, sameName,
               "升级包内存在同名文件UPDATE.zip，请重命名后重试", "「@/in/b/UPDATE.zip」", "row 1");
    addRefusal("item named like the manifest",
               {{0, "in/hmi.zip"}, {5, "in/UPGRADE_PACKAGE_CONFIG.JSON"}}, {}, sameName,
               "升级包内存在同名文件UPGRADE_PACKAGE_CONFIG.JSON，请重命名后重试",
               "「@/in/UPGRADE_PACKAGE_CONFIG.JSON」", "row 1");
    addRefusal("every row is examined before the names",
               {{0, "in/a/update.zip"}, {4, "in/b/UPDATE.zip"}, {1, "in/missing.zip"}}, {}, missing,
               "控制器文件不存在，请检查对应路径", "找不到：「@/in/missing.zip」", "row 2");
}

void PackagingTest::refusedRequestLeavesEverythingAsItWas()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(Rows, rows);
    QFETCH(QStringList, prepared);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(QString, cause);
    QFETCH(QString, focus);
    TestFolder test;
    const auto place = [&test](QString path) { return path.replace('@', test.path()); };
    for (const char *input :
         {"in/hmi.zip", "in/ctrl.zip", "in/a/update.zip", "in/b/UPDATE.zip",
          "in/UPGRADE_PACKAGE_CONFIG.JSON", "old/combined.zip", "old/second.zip", "out/"})
        prepared.prepend(input);
    for (const QString &entry : prepared) {
        const QStringList link = entry.split(" -> ");
        if (link.size() == 2)
            QVERIFY(QFile::link(place(link.at(1)), test.path(link.at(0))));
        else if (entry.endsWith('/'))
            QVERIFY(QDir().mkpath(entry));
        else
            test.write(entry, "prepared " + entry.toUtf8());
    }
    for (auto &row : rows)
        row.second = place(row.second);
    Session s;
    s.driver.pathEdit()->setText(place(folder));
    s.driver.nameEdit()->setText(name);
    s.driver.setRows(rows);
    const QStringList before = snapshot(test.path());
    s.driver.startButton()->setFocus();

    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    QTest::qWait(100);
    QCOMPARE(s.watcher.messages.size(), 1);
    QCOMPARE(describe(s.watcher.messages.first(), &s.window),
             box(QMessageBox::Warning, title, text, place(cause), &s.window));
    // No archive, no working file, and what was there is still there.
    QCOMPARE(snapshot(test.path()), before);
    QCOMPARE(s.shows.progressShown, 0);
    QVERIFY(!s.thread()->isRunning());
    // The keyboard is where the fix goes (the window's focus widget: whether
    // the window is active again once the box has gone is up to the platform).
    QWidget *target = focusTarget(s.driver, focus);
    QVERIFY(target);
    QCOMPARE(s.window.focusWidget(), target);
}

void PackagingTest::fullRunStoresItemsInTypeOrderAndTheManifestLast()
{
    TestFolder folder;
    QByteArray text;
    for (int i = 0; i < 20000; ++i)
        text += "hmi line " + QByteArray::number(i) + "\n";
    const QByteArray noise = randomBytes(100000, 7);
    const QString servo = folder.write("in/servo/servo_cfg.zip", "servo parameters");
    folder.write("in/hmi_v2.zip", text);
    folder.write("models/arm.glb", noise);
    folder.write("in/lang'pack.zip", "language pack");
    folder.write("in/ctrl_v5.zip", QByteArray());
    const QString logo = folder.write("in/logo.png", "logo");
    folder.write("in/robot/kr6.cfg", "robot model");
    // The user's own files of the names the tool once used stay untouched.
    folder.write("out/upgrade_package_config.json", "the user's own notes");
    folder.write("decompression/keep.txt", "the user's own folder");
    const QStringList sourcesBefore = snapshot(folder.path());

    Session s;
    s.driver.pathEdit()->setText(folder.path("out"));
    s.driver.setRows({{5, servo},
                      {0, "in/hmi_v2.zip"},
                      {3, "./models/arm.glb"},
                      {6, "in/lang'pack.zip"},
                      {1, "in/ctrl_v5.zip"},
                      {4, logo},
                      {2, "in/../in/robot/kr6.cfg"}});
    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    const QString archive = folder.path("out/pkg.zip");
    const SeenMessage success = s.watcher.messages.first();
    QCOMPARE(
        describe(success, &s.window).section(" | ", 0, 2),
        QStringLiteral("icon %1 | 打包成功 | 升级包打包成功").arg(int(QMessageBox::Information)));
    QCOMPARE(success.informativeText,
             "「" + archive + "」\n大小："
                 + QLocale().formattedDataSize(QFileInfo(archive).size()));
    QCOMPARE(success.buttonTexts.size(), 2);
    QVERIFY(success.buttonTexts.contains("打开所在文件夹"));
    QCOMPARE(s.shows.progressVisibleAtBox, QList<bool> {false});
    QVERIFY(s.shows.progressShown >= 1);
    QVERIFY(!s.progress()->isVisible());

    const QByteArray manifest
        = R"({"3d_model":{"name":"arm.glb"},"dravo":{"name":"ctrl_v5.zip"},"hmi":{"name":"hmi_v2.zip"},)"
          R"("language":{"name":"lang'pack.zip"},"logo":{"name":"logo.png"},)"
          R"("robot_configuration":{"name":"kr6.cfg"},"servo":{"name":"servo_cfg.zip"}})";
    const QList<QPair<QString, QByteArray>> expected = {{"arm.glb", noise},
                                                        {"ctrl_v5.zip", QByteArray()},
                                                        {"hmi_v2.zip", text},
                                                        {"lang'pack.zip", "language pack"},
                                                        {"logo.png", "logo"},
                                                        {"kr6.cfg", "robot model"},
                                                        {"servo_cfg.zip", "servo parameters"},
                                                        {manifestFileName, manifest}};
    const QList<ArchiveEntry> entries = readZip(archive);
    QCOMPARE(entries.size(), expected.size());
    for (int i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries.at(i).name, expected.at(i).first);
        QCOMPARE(entries.at(i).method, 8);
        QCOMPARE(entries.at(i).data, expected.at(i).second);
    }
    // Only the archive is new; the items were only read.
    QStringList after = snapshot(folder.path());
    after.removeAll(
        QStringLiteral("out/pkg.zip ")
        + QCryptographicHash::hash(readFile(archive), QCryptographicHash::Sha1).toHex());
    QCOMPARE(after, sourcesBefore);
}

void PackagingTest::runWithoutItemsStoresOnlyTheManifest()
{
    TestFolder folder;
    QDir().mkpath("out");
    Session s;
    s.driver.pathEdit()->setText("out/");
    s.driver.setRows({});
    QCOMPARE(s.driver.itemRowCount(), 0);
    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    QCOMPARE(s.watcher.messages.first().title, QStringLiteral("打包成功"));
    QVERIFY(s.watcher.messages.first().informativeText.startsWith("「" + folder.path("out/pkg.zip")
                                                                  + "」\n"));
    const QList<ArchiveEntry> entries = readZip("out/pkg.zip");
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().name, manifestFileName);
    QCOMPARE(entries.first().method, 8);
    QCOMPARE(entries.first().data, QByteArray("{}"));
    QCOMPARE(regularFilesBelow(folder.path()), QStringList {"out/pkg.zip"});
}

void PackagingTest::packageNameRules_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("archive"); // empty: refused
    // A few of the core's rules, to show the window applies them and points
    // at the field; every rule is tested on the core itself.
    QTest::newRow("folder part") << "../escape"
                                 << "";
    QTest::newRow("colon") << "v5:final"
                           << "";
    QTest::newRow("blanks only") << "   "
                                 << "";
    QTest::newRow("Windows device name") << "CON"
                                         << "";
    // 252 bytes + ".zip" is one more than a file name may have.
    QTest::newRow("too long") << QString(252, 'a') << "";
    QTest::newRow("extension typed") << "pkg.zip"
                                     << "out/pkg.zip";
    QTest::newRow("Chinese name") << "机器人升级包v5"
                                  << "out/机器人升级包v5.zip";
}

void PackagingTest::packageNameRules()
{
    QFETCH(QString, name);
    QFETCH(QString, archive);
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    QDir().mkpath("out");
    Session s;
    s.driver.nameEdit()->setText(name);
    s.driver.setRows({{0, "in/hmi.zip"}});
    s.driver.startButton()->setFocus();
    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    QTest::qWait(100);
    QCOMPARE(s.watcher.messages.size(), 1);
    if (archive.isEmpty()) {
        const SeenMessage &refusal = s.watcher.messages.first();
        QCOMPARE(refusal.icon, QMessageBox::Warning);
        QCOMPARE(refusal.title, QStringLiteral("文件名错误"));
        QVERIFY2(refusal.text.startsWith("生成压缩包文件名"), qPrintable(refusal.text));
        QCOMPARE(s.window.focusWidget(), s.driver.nameEdit());
        QCOMPARE(s.driver.nameEdit()->selectedText(), name);
        QCOMPARE(s.driver.nameEdit()->text(), name);
        QCOMPARE(s.shows.progressShown, 0);
        QCOMPARE(filesBelow(folder.path("out")), QStringList());
    } else {
        QCOMPARE(s.watcher.messages.first().title, QStringLiteral("打包成功"));
        QCOMPARE(regularFilesBelow(folder.path()), (QStringList {"in/hmi.zip", archive}));
        QCOMPARE(zipEntryNames(archive), (QStringList {"hmi.zip", manifestFileName}));
    }
}

void PackagingTest::returnStartsARun_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("key");
    QTest::newRow("Return in the name field") << "name" << int(Qt::Key_Return);
    QTest::newRow("Enter in the folder field") << "folder" << int(Qt::Key_Enter);
    QTest::newRow("Return on the start button") << "button" << int(Qt::Key_Return);
}

void PackagingTest::returnStartsARun()
{
    QFETCH(QString, where);
    QFETCH(int, key);
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    QDir().mkpath("out");
    Session s;
    s.driver.setRows({{0, "in/hmi.zip"}});
    QWidget *target = where == "name" ? static_cast<QWidget *>(s.driver.nameEdit())
        : where == "folder"           ? static_cast<QWidget *>(s.driver.pathEdit())
                                      : static_cast<QWidget *>(s.driver.startButton());
    target->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), target);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QVERIFY(s.watcher.waitForMessages(1));
    QCOMPARE(s.watcher.titles(), QStringList {"打包成功"});
    QCOMPARE(zipEntryNames("out/pkg.zip"), (QStringList {"hmi.zip", manifestFileName}));
    // One key, one run.
    QCOMPARE(s.shows.progressShown, 1);
}

void PackagingTest::failedRunKeepsTheEarlierArchive_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("cause");
    // A folder or a FIFO passes the request checks (it exists) but is no file
    // to pack; a FIFO must not be waited on.
    QTest::newRow("item is a folder") << "folder"
                                      << "out"
                                      << "不是普通文件：「@/in/servo」";
    QTest::newRow("item is a FIFO") << "fifo"
                                    << "out"
                                    << "不是普通文件：「@/in/servo」";
    // Root ignores permission bits, but nobody can create a file in procfs.
    QTest::newRow("folder takes no file") << "file"
                                          << "/proc/self"
                                          << "没有写入权限：「/proc/self」";
}

void PackagingTest::failedRunKeepsTheEarlierArchive()
{
    QFETCH(QString, item);
    QFETCH(QString, folder);
    QFETCH(QString, cause);
    TestFolder test;
    const QByteArray earlier = "the package of last week";
    test.write("out/pkg.zip", earlier);
    test.write("in/hmi.zip", "hmi");
    if (item == "folder")
        QVERIFY(QDir().mkpath("in/servo"));
    else if (item == "fifo") {
        if (!makeFifo("in/servo"))
            QSKIP("Windows has no FIFOs");
    } else
        test.write("in/servo", "servo");
    Session s;
    s.driver.pathEdit()->setText(folder);
    s.driver.setRows({{0, "in/hmi.zip"}, {5, "in/servo"}});
    s.watcher.answers[replaceTitle] = QMessageBox::Yes;
    s.start();
    // Asked first where the earlier archive stands; procfs holds none.
    const QStringList boxes
        = folder == "out" ? QStringList {replaceTitle, "打包失败"} : QStringList {"打包失败"};
    QVERIFY(s.watcher.waitForMessages(boxes.size()));
    QTest::qWait(700);
    QCOMPARE(s.watcher.titles(), boxes);
    QCOMPARE(describe(s.watcher.messages.last(), &s.window),
             box(QMessageBox::Warning, "打包失败", "文件压缩失败!", cause.replace('@', test.path()),
                 &s.window));
    QVERIFY(s.shows.progressShown >= 1);
    QCOMPARE(s.shows.progressVisibleAtBox, QVector<bool>(boxes.size(), false).toList());
    QCOMPARE(readFile("out/pkg.zip"), earlier);
    QCOMPARE(regularFilesBelow(test.path("out")), QStringList {"pkg.zip"});
    QTRY_VERIFY(!s.thread()->isRunning());
}

namespace {

// How many bytes this process has read from files and pipes so far, as the
// kernel counts them: the run reads its item at offsets, which move no file
// position, so the count of all reads stands in for it (the rest is small).
qint64 bytesReadByThisProcess()
{
    for (const QByteArray &line : readFile("/proc/self/io").split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

} // namespace

void PackagingTest::progressFollowsTheBytesRead()
{
    TestFolder folder;
    const int size = 48 << 20;
    const QString item = folder.write("in/hmi.bin", randomBytes(size, 99));
    folder.write("in/logo.png", "logo");
    QDir().mkpath("out");
    Session s;
    s.driver.setRows({{0, item}, {4, "in/logo.png"}});
    QList<int> values;
    QStringList labels, problems;
    QTimer sampler;
    // The window looks at the count every 100 ms: the value it shows lies
    // between the share read three polls ago and the share read now.
    QElapsedTimer clock;
    clock.start();
    QList<QPair<qint64, qint64>> offsets {{0, 0}}; // time, offset
    const qint64 readBefore = bytesReadByThisProcess();
    connect(&sampler, &QTimer::timeout, &s.window, [&] {
        if (!s.progress()->isVisible())
            return;
        const int value = s.progress()->value();
        const qint64 offset = qMin<qint64>(size, bytesReadByThisProcess() - readBefore);
        if (offset >= 0) {
            offsets.append({clock.elapsed(), offset});
            qint64 earlier = offsets.first().second;
            for (const auto &sample : qAsConst(offsets)) {
                if (sample.first <= clock.elapsed() - 300)
                    earlier = sample.second;
            }
            if (value > 99.0 * offset / size + 2 || value < 99.0 * earlier / size - 2)
                problems << QStringLiteral("%1 at %2 bytes").arg(value).arg(offset);
        }
        if (!values.isEmpty() && value < values.last())
            problems << QStringLiteral("went back from %1 to %2").arg(values.last()).arg(value);
        values << value;
        labels << s.progress()->labelText();
        if (QFileInfo::exists("out/" + manifestFileName))
            problems << "a manifest file in the output folder";
    });
    sampler.start(20);
    s.start();
    QVERIFY(s.watcher.waitForMessages(1, 120000));
    sampler.stop();
    QCOMPARE(s.watcher.messages.first().title, QStringLiteral("打包成功"));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join("; ")));
    QVERIFY2(values.size() > 10, qPrintable(QString::number(values.size())));
    QCOMPARE(values.first(), 0);
    QVERIFY(values.contains(99));
    QVERIFY(std::any_of(values.begin(), values.end(), [](int v) { return v > 20 && v < 80; }));
    QVERIFY(labels.contains("正在生成升级包\nhmi.bin (1/2)"));
    QVERIFY(std::all_of(labels.begin(), labels.end(),
                        [](const QString &l) { return l.startsWith("正在生成升级包"); }));
}

void PackagingTest::cancelling_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<bool>("yes");
    // The question stays open until the run is complete: the run waits for
    // the answer before it puts its archive in place.
    QTest::addColumn<bool>("outlasted");
    for (const char *trigger : {"button", "Escape", "closing the window"}) {
        QTest::newRow(qPrintable(QString(trigger) + ", 是")) << QString(trigger) << true << false;
        QTest::newRow(qPrintable(QString(trigger) + ", 否")) << QString(trigger) << false << false;
    }
    QTest::newRow("Escape, answered after the run, 是") << "Escape" << true << true;
    QTest::newRow("Escape, answered after the run, 否") << "Escape" << false << true;
    QTest::newRow("closing the window, answered after the run, 是")
        << "closing the window" << true << true;
}

void PackagingTest::cancelling()
{
    QFETCH(QString, trigger);
    QFETCH(bool, yes);
    QFETCH(bool, outlasted);
    TestFolder folder;
    const QString item = folder.write("in/hmi.bin", randomBytes(48 << 20, 99));
    const QByteArray earlier = "the package of last week";
    folder.write("out/pkg.zip", earlier);
    Session s;
    s.driver.setRows({{0, item}});
    s.watcher.answers[replaceTitle] = QMessageBox::Yes;
    s.watcher.questionAnswer = yes ? QMessageBox::Yes : QMessageBox::No;
    QElapsedTimer answered;
    QString question;
    QStringList whileAsked;
    s.watcher.onQuestion = [&](QMessageBox *box) {
        question = describe(s.watcher.messages.last(), &s.window);
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
        if (outlasted && box->windowTitle() == "取消打包") {
            // Every byte read, and time to write the rest and finish.
            QTRY_VERIFY_WITH_TIMEOUT(s.progress()->value() == 99, 120000);
            QTest::qWait(1500);
            whileAsked << (readFile("out/pkg.zip") == earlier ? "earlier package" : "replaced")
                       << regularFilesBelow(folder.path("out"));
        }
        answered.start();
    };
    s.start();
    // Once the worker is reading the item.
    QTRY_VERIFY_WITH_TIMEOUT(s.progress()->labelText().contains("(1/1)"), 20000);
    if (trigger == "button")
        s.progress()->findChild<QPushButton *>()->click();
    else if (trigger == "Escape")
        QTest::keyClick(s.progress(), Qt::Key_Escape);
    else
        s.window.close();
    const QString text = trigger == "closing the window" ? "正在打包，确定要取消打包并退出吗？"
                                                         : "确定要取消打包吗？";
    QCOMPARE(question.section(" | ", 1, 2), "取消打包 | " + text);
    QCOMPARE(s.watcher.messages.last().buttonTexts, QStringList({"是", "否"}));
    if (outlasted)
        QCOMPARE(whileAsked, QStringList({"earlier package", "pkg.zip"}));

    if (yes) {
        QTRY_VERIFY_WITH_TIMEOUT(!s.progress()->isVisible(), 5000);
        QVERIFY2(answered.elapsed() < 500, qPrintable(QString::number(answered.elapsed())));
        QTest::qWait(300);
        QCOMPARE(s.watcher.titles(), QStringList({replaceTitle, "取消打包"})); // no failure box
        QCOMPARE(readFile("out/pkg.zip"), earlier);
        QCOMPARE(s.window.isVisible(), trigger != "closing the window");
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(s.driver.startButton()->isEnabled());
        QCOMPARE(s.driver.row(0)->filePath(), item);
        QTRY_VERIFY(!s.thread()->isRunning());
    } else {
        QVERIFY(s.watcher.waitForMessages(3, 120000));
        QCOMPARE(s.watcher.titles(), QStringList({replaceTitle, "取消打包", "打包成功"}));
        QVERIFY(s.window.isVisible());
        QCOMPARE(zipEntryNames("out/pkg.zip"), (QStringList {"hmi.bin", manifestFileName}));
    }
    QCOMPARE(regularFilesBelow(folder.path("out")), QStringList {"pkg.zip"});
}

// A package that comes to the archive's path while the run writes (another
// build, a colleague's copy) is never replaced without the user's word: the
// run asks again when it is complete.
void PackagingTest::fileComingToTheArchivePathIsAskedAbout_data()
{
    QTest::addColumn<bool>("earlierAgreed"); // an earlier package the user agreed to replace
    QTest::addColumn<bool>("yes");
    QTest::newRow("nothing there at the start, 否") << false << false;
    QTest::newRow("nothing there at the start, 是") << false << true;
    QTest::newRow("another put over the agreed one, 否") << true << false;
}

void PackagingTest::fileComingToTheArchivePathIsAskedAbout()
{
    QFETCH(bool, earlierAgreed);
    QFETCH(bool, yes);
    TestFolder folder;
    const QString item = folder.write("in/hmi.bin", randomBytes(48 << 20, 98));
    QDir().mkpath("out");
    if (earlierAgreed)
        folder.write("out/pkg.zip", "the package of last week");
    Session s;
    s.driver.setRows({{0, item}});
    s.watcher.answers[replaceTitle] = QMessageBox::Yes;
    const QByteArray colleagues = "a colleague's package, copied in meanwhile";
    QString asked;
    s.watcher.onQuestion = [&](QMessageBox *box) {
        if (!box->text().contains("打包期间"))
            return;
        asked = box->text();
        s.watcher.answers[replaceTitle] = yes ? QMessageBox::Yes : QMessageBox::No;
    };
    const int firstQuestion = earlierAgreed ? 1 : 0;
    s.start();
    QTRY_VERIFY_WITH_TIMEOUT(s.progress()->labelText().contains("(1/1)"), 20000);
    folder.write("out/incoming.part", colleagues);
    QVERIFY(::rename("out/incoming.part", "out/pkg.zip") == 0);
    QVERIFY(s.watcher.waitForMessages(firstQuestion + (yes ? 2 : 1), 120000));
    QTest::qWait(300);
    QCOMPARE(asked, "「" + folder.path("out/pkg.zip") + "」\n打包期间有另一个文件出现在此处，是否替换它？");
    const QStringList titles = s.watcher.titles().mid(firstQuestion);
    if (yes) {
        QCOMPARE(titles, QStringList({replaceTitle, "打包成功"}));
        QCOMPARE(zipEntryNames("out/pkg.zip"), (QStringList {"hmi.bin", manifestFileName}));
    } else {
        QCOMPARE(titles, QStringList {replaceTitle}); // 否 needs no box to say so
        QCOMPARE(readFile("out/pkg.zip"), colleagues);
        QVERIFY(s.driver.startButton()->isEnabled());
    }
    QCOMPARE(regularFilesBelow(folder.path("out")), QStringList {"pkg.zip"});
}

void PackagingTest::compressionRunsOnTheWorkerThreadRunAfterRun()
{
    TestFolder folder;
    folder.write("in/hmi.zip", "first hmi");
    folder.write("in/logo.png", "logo");
    QDir().mkpath("out");
    Session s;
    QThread *thread = s.thread();
    QVERIFY(thread && !thread->isRunning());
    Gate gate(thread);
    s.driver.setRows({{0, "in/hmi.zip"}});

    s.start();
    QTRY_COMPARE(gate.starts(), 1);
    // The worker thread is held before its event loop runs: no archive may
    // appear, and the GUI thread keeps serving the modal progress dialog.
    QVERIFY(s.progress()->isVisible());
    QVERIFY(!s.driver.startButton()->isEnabled());
    QVERIFY(!s.driver.pathEdit()->isEnabled());
    QTest::qWait(300);
    QCOMPARE(s.progress()->value(), 0);
    QCOMPARE(filesBelow("out"), QStringList());
    QVERIFY(s.watcher.messages.isEmpty());
    gate.open();
    QVERIFY(s.watcher.waitForMessages(1));
    QCOMPARE(s.watcher.messages.first().title, QStringLiteral("打包成功"));
    QCOMPARE(zipEntryNames("out/pkg.zip"), (QStringList {"hmi.zip", manifestFileName}));
    QTRY_VERIFY(!thread->isRunning());
    QVERIFY(s.driver.startButton()->isEnabled());

    // The next run starts the thread again and replaces the archive, as the
    // user confirms.
    folder.write("in/hmi.zip", "second hmi");
    s.driver.setRows({{4, "in/logo.png"}, {0, "in/hmi.zip"}});
    s.watcher.answers[replaceTitle] = QMessageBox::Yes;
    gate.open();
    s.start();
    QVERIFY(s.watcher.waitForMessages(3));
    QCOMPARE(s.watcher.titles(), QStringList({"打包成功", replaceTitle, "打包成功"}));
    QCOMPARE(gate.starts(), 2);
    const QList<ArchiveEntry> entries = readZip("out/pkg.zip");
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.at(0).name, QStringLiteral("hmi.zip"));
    QCOMPARE(entries.at(0).data, QByteArray("second hmi"));
    QCOMPARE(entries.at(1).name, QStringLiteral("logo.png"));
    QCOMPARE(entries.at(2).data,
             QByteArray(R"({"hmi":{"name":"hmi.zip"},"logo":{"name":"logo.png"}})"));
    QCOMPARE(regularFilesBelow(folder.path("out")), QStringList {"pkg.zip"});
}

void PackagingTest::closingTheWindowAroundARun()
{
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    QDir().mkpath("out");
    ModalWatcher watcher;
    const auto newWindow = [] {
        auto window = std::make_unique<MainWindow>();
        WindowDriver driver(window.get());
        driver.pathEdit()->setText("out");
        driver.nameEdit()->setText("pkg");
        driver.setRow(0, 0, "in/hmi.zip");
        window->show();
        return window;
    };

    // Destroyed as the worker is let go: the run is cancelled or complete,
    // whichever came first, never half written.
    {
        auto window = newWindow();
        Gate gate(window->findChild<QThread *>());
        WindowDriver(window.get()).startButton()->click();
        QTRY_COMPARE(gate.starts(), 1);
        gate.open();
        window.reset();
    }
    if (!filesBelow(folder.path("out")).isEmpty()) {
        QCOMPARE(filesBelow(folder.path("out")), QStringList {"pkg.zip"});
        QCOMPARE(zipEntryNames("out/pkg.zip"), (QStringList {"hmi.zip", manifestFileName}));
        QVERIFY(QFile::remove("out/pkg.zip"));
    }

    // Between the worker's answer and the success notice.
    auto window = newWindow();
    WindowDriver(window.get()).startButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists("out/pkg.zip"), 20000);
    window.reset();
    QTest::qWait(800);
    QVERIFY(watcher.messages.isEmpty());
    QCOMPARE(zipEntryNames("out/pkg.zip"), (QStringList {"hmi.zip", manifestFileName}));

    // After a refused request.
    window = newWindow();
    WindowDriver(window.get()).pathEdit()->clear();
    WindowDriver(window.get()).startButton()->click();
    QVERIFY(watcher.waitForMessages(1));
    window.reset();
    QTest::qWait(100);
    QCOMPARE(watcher.messages.size(), 1);
}

QTEST_MAIN(PackagingTest)
#include "tst_packaging.moc"
