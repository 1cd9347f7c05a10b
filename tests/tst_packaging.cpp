// Whole packaging runs driven through the window as a user would: every
// refused request, the archives of successful runs read back, failing runs,
// the progress shown against the bytes read, cancelling by button, Escape or
// closing the window, and the worker thread across runs.
#include "mainwindow.h"
#include "packagemanifest.h"
#include "testsupport.h"
#include "upgradeitemwidget.h"

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
#include <sys/stat.h>

using Rows = QList<QPair<int, QString>>;
Q_DECLARE_METATYPE(Rows)

namespace {

// Every file, folder and link below root with a digest of its content, to
// show that a refused request wrote nothing and removed nothing.
QStringList snapshot(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            lines << name + " -> " + info.symLinkTarget();
        else if (info.isDir())
            lines << name + "/";
        else
            lines << name + " "
                    + QCryptographicHash::hash(readFile(info.filePath()), QCryptographicHash::Sha1)
                          .toHex();
    }
    lines.sort();
    return lines;
}

// The files below root, without the folders on the way to them.
QStringList regularFilesBelow(const QString &root)
{
    QStringList files = filesBelow(root);
    files.erase(std::remove_if(
                    files.begin(), files.end(),
                    [&](const QString &f) { return !QFileInfo(QDir(root).filePath(f)).isFile(); }),
                files.end());
    return files;
}

QString describe(const SeenMessage &m, const QWidget *window)
{
    return QStringList {QStringLiteral("icon %1").arg(int(m.icon)),
                        m.title,
                        m.text,
                        m.informativeText,
                        QStringLiteral("buttons 0x%1").arg(int(m.buttons), 0, 16),
                        m.parent == window ? "parent window" : "other parent"}
        .join(QStringLiteral(" | "));
}

// A box as every message of the window must look: one OK button and the window
// as parent. Whether the call named a default button cannot be seen: with none
// named, QMessageBox makes its first accepting button, OK, the default anyway.
QString box(QMessageBox::Icon icon, const QString &title, const QString &text, const QString &cause,
            const QWidget *window)
{
    return describe(
        {icon, title, text, cause, QMessageBox::Ok, {}, false, const_cast<QWidget *>(window)},
        window);
}

// Notes every appearance of the progress dialog, and whether it was still on
// screen when a message box came up.
class ShowRecorder : public QObject
{
public:
    explicit ShowRecorder(QProgressDialog *progress)
        : progress(progress)
    {
        qApp->installEventFilter(this);
    }
    int progressShown = 0;
    QList<bool> progressVisibleAtBox;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && !event->spontaneous()) {
            if (watched == progress)
                ++progressShown;
            else if (qobject_cast<QMessageBox *>(watched))
                progressVisibleAtBox << progress->isVisible();
        }
        return false;
    }

private:
    QProgressDialog *progress;
};

// One window with everything a test looks at.
struct Session
{
    Session()
    {
        window.show();
        driver.pathEdit()->setText(QStringLiteral("out"));
        driver.nameEdit()->setText(QStringLiteral("pkg"));
    }
    QProgressDialog *progress() const { return window.findChild<QProgressDialog *>(); }
    QThread *thread() const { return window.findChild<QThread *>(); }
    void start() { driver.startButton()->click(); }

    MainWindow window;
    WindowDriver driver {&window};
    ModalWatcher watcher;
    ShowRecorder shows {progress()};
};

// Holds a worker thread in its start-up, before its event loop runs, until
// opened. Declared after the window, it opens for good before the window
// waits for the thread, so a failing test cannot leave the thread stuck; the
// thread's side shares the semaphore and so never outlives it.
class Gate
{
public:
    explicit Gate(QThread *thread)
    {
        QObject::connect(
            thread, &QThread::started, thread,
            [semaphore = semaphore, startCount = startCount] {
                startCount->ref();
                semaphore->acquire();
            },
            Qt::DirectConnection);
    }
    ~Gate() { semaphore->release(1000); }
    void open(int times = 1) { semaphore->release(times); }
    int starts() const { return startCount->loadAcquire(); }

private:
    std::shared_ptr<QSemaphore> semaphore = std::make_shared<QSemaphore>();
    std::shared_ptr<QAtomicInt> startCount = std::make_shared<QAtomicInt>();
};

} // namespace

class PackagingTest : public QObject
{
    Q_OBJECT

private slots:
    void refusedRequestLeavesEverythingAsItWas_data();
    void refusedRequestLeavesEverythingAsItWas();
    void fullRunStoresItemsInTypeOrderAndTheManifestLast();
    void runWithoutItemsStoresOnlyTheManifest();
    void packageNameIsJoinedAsTyped_data();
    void packageNameIsJoinedAsTyped();
    void failedRunKeepsTheEarlierArchive_data();
    void failedRunKeepsTheEarlierArchive();
    void progressFollowsTheBytesRead();
    void cancelling_data();
    void cancelling();
    void compressionRunsOnTheWorkerThreadRunAfterRun();
    void closingTheWindowAroundARun();
};

// One refused request: what the window holds, what the test folder holds
// besides the common inputs ("x/" a folder, "x -> y" a link to y; "@" stands
// for the test folder), and the one warning expected with its cause.
static void addRefusal(const char *tag, const Rows &rows, const QStringList &prepared,
                       const QString &title, const QString &text, const QString &cause,
                       const QString &folder = "out", const QString &name = "pkg")
{
    QTest::newRow(tag) << folder << name << rows << prepared << title << text << cause;
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
    const Rows hmi = {{0, "in/hmi.zip"}}, hmiTwice = {{0, "in/hmi.zip"}, {0, "in/hmi.zip"}};
    const QString noFolder = "路径不存在", noFolderText = "压缩包生成路径不存在";
    const QString clash = "路径冲突";
    const QString missing = "文件不存在", typeTwice = "类型重复",
                  typeTwiceText = "一个升级包内同一类型升级项仅可存在一个";
    const QString sameName = "文件名重复";

    addRefusal("empty folder and empty name", hmiTwice, {}, noFolder, noFolderText,
               "未填写生成升级包位置", "", "");
    addRefusal("folder is a file", hmi, {}, noFolder, noFolderText, "不是已有的文件夹：in/hmi.zip",
               "in/hmi.zip");
    addRefusal("missing folder before a repeated type", hmiTwice, {}, noFolder, noFolderText,
               "不是已有的文件夹：nowhere", "nowhere");
    addRefusal("empty name before a repeated type", hmiTwice, {}, "文件名错误",
               "生成压缩包文件名为空", "", "out", "");
    addRefusal("repeated type with a missing file",
               {{0, "in/hmi.zip"}, {1, "in/ctrl.zip"}, {0, "in/missing.zip"}}, {}, typeTwice,
               typeTwiceText, "重复的类型：HMI");
    addRefusal("two combined packages", {{7, "old/combined.zip"}, {7, "old/second.zip"}}, {},
               typeTwice, typeTwiceText, "重复的类型：组合包");
    addRefusal("missing logo stops before the repeated type",
               {{0, "in/hmi.zip"}, {4, "in/missing.png"}, {0, "in/hmi.zip"}}, {}, missing,
               "定制logo文件不存在，请检查对应路径", "找不到：in/missing.png");
    addRefusal("empty item path", {{5, ""}}, {}, missing, "伺服参数文件不存在，请检查对应路径",
               "未填写文件路径");
    addRefusal("dangling link", {{5, "in/gone.par"}}, {"in/gone.par -> @/nothing"}, missing,
               "伺服参数文件不存在，请检查对应路径", "找不到：in/gone.par");
    addRefusal("combined package above a missing item",
               {{7, "old/combined.zip"}, {1, "in/missing.zip"}}, {}, missing,
               "控制器文件不存在，请检查对应路径", "找不到：in/missing.zip");
    addRefusal("missing combined package", {{7, "old/none.zip"}}, {}, missing,
               "组合包文件不存在，请检查对应路径", "找不到：old/none.zip");
    addRefusal("item is the archive to write", {{0, "in/hmi.zip"}, {3, "out/pkg.zip"}},
               {"out/pkg.zip"}, clash, "3D模型文件不能与生成的升级包相同", "out/pkg.zip");
    addRefusal("item is the archive, spelled otherwise", {{6, "./in/../out//pkg.zip"}},
               {"out/pkg.zip"}, clash, "语言包文件不能与生成的升级包相同", "./in/../out//pkg.zip",
               "@/out");
    addRefusal("item links to the archive", {{2, "in/link.zip"}},
               {"out/pkg.zip", "in/link.zip -> @/out/pkg.zip"}, clash,
               "机型文件文件不能与生成的升级包相同", "in/link.zip");
    addRefusal("one file name in two folders, case aside",
               {{0, "in/a/update.zip"}, {4, "in/b/UPDATE.zip"}}, {}, sameName,
               "升级包内存在同名文件UPDATE.zip，请重命名后重试", "in/b/UPDATE.zip");
    addRefusal("item named like the manifest",
               {{0, "in/hmi.zip"}, {5, "in/UPGRADE_PACKAGE_CONFIG.JSON"}}, {}, sameName,
               "升级包内存在同名文件UPGRADE_PACKAGE_CONFIG.JSON，请重命名后重试",
               "in/UPGRADE_PACKAGE_CONFIG.JSON");
    addRefusal("every row is examined before the names",
               {{0, "in/a/update.zip"}, {4, "in/b/UPDATE.zip"}, {1, "in/missing.zip"}}, {}, missing,
               "控制器文件不存在，请检查对应路径", "找不到：in/missing.zip");
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
    folder.write("in/lang\"pack.zip", "language pack");
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
                      {6, "in/lang\"pack.zip"},
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
             archive + "\n大小：" + QLocale().formattedDataSize(QFileInfo(archive).size()));
    QCOMPARE(success.buttonTexts.size(), 2);
    QVERIFY(success.buttonTexts.contains("打开所在文件夹"));
    QCOMPARE(s.shows.progressVisibleAtBox, QList<bool> {false});
    QVERIFY(s.shows.progressShown >= 1);
    QVERIFY(!s.progress()->isVisible());

    const QByteArray manifest
        = R"({"3d_model":{"name":"arm.glb"},"dravo":{"name":"ctrl_v5.zip"},"hmi":{"name":"hmi_v2.zip"},)"
          R"("language":{"name":"lang\"pack.zip"},"logo":{"name":"logo.png"},)"
          R"("robot_configuration":{"name":"kr6.cfg"},"servo":{"name":"servo_cfg.zip"}})";
    const QList<QPair<QString, QByteArray>> expected = {{"arm.glb", noise},
                                                        {"ctrl_v5.zip", QByteArray()},
                                                        {"hmi_v2.zip", text},
                                                        {"lang\"pack.zip", "language pack"},
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
    QVERIFY(s.watcher.messages.first().informativeText.startsWith(folder.path("out/pkg.zip\n")));
    const QList<ArchiveEntry> entries = readZip("out/pkg.zip");
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().name, manifestFileName);
    QCOMPARE(entries.first().method, 8);
    QCOMPARE(entries.first().data, QByteArray("{}"));
    QCOMPARE(regularFilesBelow(folder.path()), QStringList {"out/pkg.zip"});
}

void PackagingTest::packageNameIsJoinedAsTyped_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("archive");
    QTest::newRow("name with a folder") << "a/b"
                                        << "out/a/b.zip";
    QTest::newRow("name with the extension") << "pkg.zip"
                                             << "out/pkg.zip.zip";
    QTest::newRow("name of blanks") << "  "
                                    << "out/  .zip";
}

void PackagingTest::packageNameIsJoinedAsTyped()
{
    QFETCH(QString, name);
    QFETCH(QString, archive);
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    QDir().mkpath("out");
    Session s;
    s.driver.nameEdit()->setText(name);
    s.driver.setRows({{0, "in/hmi.zip"}});
    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    QCOMPARE(s.watcher.messages.first().title, QStringLiteral("打包成功"));
    QCOMPARE(regularFilesBelow(folder.path()), (QStringList {"in/hmi.zip", archive}));
    QCOMPARE(zipEntryNames(archive), (QStringList {"hmi.zip", manifestFileName}));
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
                                      << "不是普通文件：in/servo";
    QTest::newRow("item is a FIFO") << "fifo"
                                    << "out"
                                    << "不是普通文件：in/servo";
    // Root ignores permission bits, but nobody can create a file in procfs.
    QTest::newRow("folder takes no file")
        << "file"
        << "/proc/self"
        << "写入失败（No such file or directory）：/proc/self/pkg.zip";
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
    else if (item == "fifo")
        QCOMPARE(mkfifo("in/servo", 0644), 0);
    else
        test.write("in/servo", "servo");
    Session s;
    s.driver.pathEdit()->setText(folder);
    s.driver.setRows({{0, "in/hmi.zip"}, {5, "in/servo"}});
    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    QTest::qWait(700);
    QCOMPARE(s.watcher.messages.size(), 1);
    QCOMPARE(describe(s.watcher.messages.first(), &s.window),
             box(QMessageBox::Warning, "打包失败", "文件压缩失败!", cause, &s.window));
    QVERIFY(s.shows.progressShown >= 1);
    QCOMPARE(s.shows.progressVisibleAtBox, QList<bool> {false});
    QCOMPARE(readFile("out/pkg.zip"), earlier);
    QCOMPARE(regularFilesBelow(test.path("out")), QStringList {"pkg.zip"});
    QTRY_VERIFY(!s.thread()->isRunning());
}

namespace {

// How far this process has read the file at path: the offset of the
// descriptor that has it open, or -1 when none has.
qint64 readOffset(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files)) {
        if (fd.symLinkTarget() != target)
            continue;
        for (const QByteArray &line : readFile("/proc/self/fdinfo/" + fd.fileName()).split('\n')) {
            if (line.startsWith("pos:"))
                return line.mid(4).trimmed().toLongLong();
        }
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
    connect(&sampler, &QTimer::timeout, &s.window, [&] {
        if (!s.progress()->isVisible())
            return;
        const int value = s.progress()->value();
        const qint64 offset = readOffset(item);
        if (offset >= 0 && qAbs(value - 99.0 * offset / size) > 15)
            problems << QStringLiteral("%1 at %2 bytes").arg(value).arg(offset);
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
    for (const char *trigger : {"button", "Escape", "closing the window"}) {
        QTest::newRow(qPrintable(QString(trigger) + ", 是")) << QString(trigger) << true;
        QTest::newRow(qPrintable(QString(trigger) + ", 否")) << QString(trigger) << false;
    }
}

void PackagingTest::cancelling()
{
    QFETCH(QString, trigger);
    QFETCH(bool, yes);
    TestFolder folder;
    const QString item = folder.write("in/hmi.bin", randomBytes(48 << 20, 99));
    const QByteArray earlier = "the package of last week";
    folder.write("out/pkg.zip", earlier);
    Session s;
    s.driver.setRows({{0, item}});
    s.watcher.questionAnswer = yes ? QMessageBox::Yes : QMessageBox::No;
    QElapsedTimer answered;
    QString question;
    s.watcher.onQuestion = [&](QMessageBox *box) {
        question = describe(s.watcher.messages.last(), &s.window);
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
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

    if (yes) {
        QTRY_VERIFY_WITH_TIMEOUT(!s.progress()->isVisible(), 5000);
        QVERIFY2(answered.elapsed() < 500, qPrintable(QString::number(answered.elapsed())));
        QTest::qWait(300);
        QCOMPARE(s.watcher.messages.size(), 1); // no failure box
        QCOMPARE(readFile("out/pkg.zip"), earlier);
        QCOMPARE(s.window.isVisible(), trigger != "closing the window");
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(s.driver.startButton()->isEnabled());
        QCOMPARE(s.driver.row(0)->filePath(), item);
        QTRY_VERIFY(!s.thread()->isRunning());
    } else {
        QVERIFY(s.watcher.waitForMessages(2, 120000));
        QCOMPARE(s.watcher.messages.at(1).title, QStringLiteral("打包成功"));
        QVERIFY(s.window.isVisible());
        QCOMPARE(zipEntryNames("out/pkg.zip"), (QStringList {"hmi.bin", manifestFileName}));
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

    // The next run starts the thread again and replaces the archive.
    folder.write("in/hmi.zip", "second hmi");
    s.driver.setRows({{4, "in/logo.png"}, {0, "in/hmi.zip"}});
    gate.open();
    s.start();
    QVERIFY(s.watcher.waitForMessages(2));
    QCOMPARE(s.watcher.messages.at(1).title, QStringLiteral("打包成功"));
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
