// Whole packaging runs driven through the window as a user would: every
// refused request, the archives of successful runs read back, a failing
// worker, the worker thread across runs, and closing the window around a run.
#include "mainwindow.h"
#include "packagemanifest.h"
#include "testsupport.h"

#include <QApplication>
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
    return QStringList {QStringLiteral("icon %1").arg(int(m.icon)), m.title, m.text,
                        QStringLiteral("buttons 0x%1").arg(int(m.buttons), 0, 16),
                        m.parent == window ? "parent window" : "other parent"}
        .join(QStringLiteral(" | "));
}

// A box as every message of the window must look: one OK button and the window
// as parent. Whether the call named a default button cannot be seen: with none
// named, QMessageBox makes its first accepting button, OK, the default anyway.
QString box(QMessageBox::Icon icon, const QString &title, const QString &text,
            const QWidget *window)
{
    return describe({icon, title, text, QMessageBox::Ok, false, const_cast<QWidget *>(window)},
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
    void failedCompressionKeepsTheEarlierArchive();
    void unwritableOutputFolderStopsBeforeTheWorker();
    void compressionRunsOnTheWorkerThreadRunAfterRun();
    void closingTheWindowAroundARun();
};

// One refused request: what the window holds, what the test folder holds
// besides the common inputs ("x/" a folder, "x -> y" a link to y; "@" stands
// for the test folder), and the one warning expected.
static void addRefusal(const char *tag, const Rows &rows, const QStringList &prepared,
                       const QString &title, const QString &text, const QString &folder = "out",
                       const QString &name = "pkg")
{
    QTest::newRow(tag) << folder << name << rows << prepared << title << text;
}

void PackagingTest::refusedRequestLeavesEverythingAsItWas_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<QStringList>("prepared");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    const Rows hmi = {{0, "in/hmi.zip"}}, hmiTwice = {{0, "in/hmi.zip"}, {0, "in/hmi.zip"}};
    const QString noFolder = "路径不存在", noFolderText = "压缩包生成路径不存在";
    const QString clash = "路径冲突", inExtraction = "生成路径不能位于decompression目录内";
    const QString kept = "文件已存在",
                  keptText = "生成路径下已存在upgrade_package_config.json，请移除后重试";
    const QString missing = "文件不存在", typeTwice = "类型重复",
                  typeTwiceText = "一个升级包内同一类型升级项仅可存在一个";
    const QString sameName = "文件名重复";

    addRefusal("empty folder and empty name", hmiTwice, {}, noFolder, noFolderText, "", "");
    addRefusal("folder is a file", hmi, {}, noFolder, noFolderText, "in/hmi.zip");
    addRefusal("missing folder before a repeated type", hmiTwice, {}, noFolder, noFolderText,
               "nowhere");
    addRefusal("empty name before a repeated type", hmiTwice, {}, "文件名错误",
               "生成压缩包文件名为空", "out", "");
    addRefusal("folder is the extraction folder, manifest in it", hmi,
               {"decompression/upgrade_package_config.json"}, clash, inExtraction,
               "./decompression");
    addRefusal("folder deep in the extraction folder", hmi, {"decompression/deep/"}, clash,
               inExtraction, "@/decompression/deep");
    addRefusal("name leads into the extraction folder", hmi, {}, clash, inExtraction, ".",
               "decompression/x");
    addRefusal("name climbs into the extraction folder", hmi, {}, clash, inExtraction, "out",
               "../decompression/x");
    addRefusal("manifest kept in the folder, missing item below", {{0, "in/missing.zip"}},
               {"out/upgrade_package_config.json"}, kept, keptText);
    addRefusal("manifest name taken by a folder", hmi, {"out/upgrade_package_config.json/"}, kept,
               keptText);
    addRefusal("manifest name taken by a dangling link", hmi,
               {"out/upgrade_package_config.json -> gone.json"}, kept, keptText);
    addRefusal("repeated type with a missing file",
               {{0, "in/hmi.zip"}, {1, "in/ctrl.zip"}, {0, "in/missing.zip"}}, {}, typeTwice,
               typeTwiceText);
    addRefusal("two combined packages", {{7, "old/combined.zip"}, {7, "old/second.zip"}}, {},
               typeTwice, typeTwiceText);
    addRefusal("missing logo stops before the repeated type",
               {{0, "in/hmi.zip"}, {4, "in/missing.png"}, {0, "in/hmi.zip"}}, {}, missing,
               "定制logo文件不存在，请检查对应路径");
    addRefusal("empty item path", {{5, ""}}, {}, missing, "伺服参数文件不存在，请检查对应路径");
    addRefusal("combined package above a missing item",
               {{7, "old/combined.zip"}, {1, "in/missing.zip"}}, {}, missing,
               "控制器文件不存在，请检查对应路径");
    addRefusal("missing combined package", {{7, "old/none.zip"}}, {}, missing,
               "组合包文件不存在，请检查对应路径");
    addRefusal("item is the archive to write", {{0, "in/hmi.zip"}, {3, "out/pkg.zip"}},
               {"out/pkg.zip"}, clash, "3D模型文件不能与生成的升级包相同");
    addRefusal("item is the archive, spelled otherwise", {{6, "./in/../out//pkg.zip"}},
               {"out/pkg.zip"}, clash, "语言包文件不能与生成的升级包相同", "@/out");
    addRefusal("item links to the archive", {{2, "in/link.zip"}},
               {"out/pkg.zip", "in/link.zip -> @/out/pkg.zip"}, clash,
               "机型文件文件不能与生成的升级包相同");
    addRefusal("item in the extraction folder, repeated type below",
               {{0, "./decompression/hmi.zip"}, {0, "in/hmi.zip"}}, {"decompression/hmi.zip"},
               clash, "HMI文件不能位于decompression目录内");
    addRefusal("item in the extraction folder, absolute path",
               {{4, "@/decompression/sub/logo.png"}}, {"decompression/sub/logo.png"}, clash,
               "定制logo文件不能位于decompression目录内");
    addRefusal("one file name in two folders, case aside",
               {{0, "in/a/update.zip"}, {4, "in/b/UPDATE.zip"}}, {}, sameName,
               "升级包内存在同名文件UPDATE.zip，请重命名后重试");
    addRefusal("item named like the manifest",
               {{0, "in/hmi.zip"}, {5, "in/UPGRADE_PACKAGE_CONFIG.JSON"}}, {}, sameName,
               "升级包内存在同名文件UPGRADE_PACKAGE_CONFIG.JSON，请重命名后重试");
    addRefusal("every row is examined before the names",
               {{0, "in/a/update.zip"}, {4, "in/b/UPDATE.zip"}, {1, "in/missing.zip"}}, {}, missing,
               "控制器文件不存在，请检查对应路径");
}

void PackagingTest::refusedRequestLeavesEverythingAsItWas()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(Rows, rows);
    QFETCH(QStringList, prepared);
    QFETCH(QString, title);
    QFETCH(QString, text);
    TestFolder test;
    const auto place = [&test](const QString &path) {
        return path.startsWith('@') ? test.path() + path.mid(1) : path;
    };
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
             box(QMessageBox::Warning, title, text, &s.window));
    // No manifest, no archive, no extraction, and what was there is still there.
    QCOMPARE(snapshot(test.path()), before);
    QCOMPARE(s.shows.progressShown, 0);
    QVERIFY(!s.thread()->isRunning());
}

void PackagingTest::fullRunStoresItemsInTypeOrderAndTheManifestLast()
{
    TestFolder folder;
    QByteArray text, noise(100000, '\0');
    for (int i = 0; i < 20000; ++i)
        text += "hmi line " + QByteArray::number(i) + "\n";
    quint32 state = 7;
    for (char &c : noise) {
        state = state * 1103515245u + 12345u;
        c = char(state >> 24);
    }
    const QString servo = folder.write("in/servo/servo_cfg.zip", "servo parameters");
    folder.write("in/hmi_v2.zip", text);
    folder.write("models/arm.glb", noise);
    folder.write("in/lang\"pack.zip", "language pack");
    folder.write("in/ctrl_v5.zip", QByteArray());
    const QString logo = folder.write("in/logo.png", "logo");
    folder.write("in/robot/kr6.cfg", "robot model");
    QDir().mkpath("out");
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
    QCOMPARE(describe(s.watcher.messages.first(), &s.window),
             box(QMessageBox::Information, "打包成功", "升级包打包成功", &s.window));
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
    const QString archive = folder.path("out/pkg.zip");
    const QList<ArchiveEntry> entries = readZip(archive);
    QCOMPARE(entries.size(), expected.size());
    for (int i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries.at(i).name, expected.at(i).first);
        QCOMPARE(entries.at(i).method, 8);
        QCOMPARE(entries.at(i).data, expected.at(i).second);
    }
    // The manifest went into the archive and left the output folder; the
    // items were only read.
    QCOMPARE(regularFilesBelow(folder.path("out")), QStringList {"pkg.zip"});
    QStringList after = snapshot(folder.path());
    after.removeAll(
        QStringLiteral("out/pkg.zip ")
        + QCryptographicHash::hash(readFile(archive), QCryptographicHash::Sha1).toHex());
    QCOMPARE(after, sourcesBefore);

    // Readers that share no code with the writer.
    const QString testzip = "import zipfile, sys\n"
                            "assert zipfile.ZipFile(sys.argv[1]).testzip() is None\n";
    QStringList missingTools;
    for (const QStringList &reader :
         {QStringList {"unzip", "-t", archive}, QStringList {"python3", "-c", testzip, archive}}) {
        QByteArray output;
        if (QStandardPaths::findExecutable(reader.first()).isEmpty())
            missingTools << reader.first();
        else
            QVERIFY2(runProgram(reader.first(), reader.mid(1), &output) == 0, output.constData());
    }
    if (!missingTools.isEmpty())
        QSKIP(qPrintable("not installed: " + missingTools.join(", ")));
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
    QCOMPARE(describe(s.watcher.messages.first(), &s.window),
             box(QMessageBox::Information, "打包成功", "升级包打包成功", &s.window));
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

void PackagingTest::failedCompressionKeepsTheEarlierArchive()
{
    TestFolder folder;
    const QByteArray earlier = "the package of last week";
    folder.write("out/pkg.zip", earlier);
    folder.write("in/hmi.zip", "hmi");
    // A folder passes the request checks (it exists) but cannot be packed.
    QDir().mkpath("in/servo_folder");
    Session s;
    s.driver.setRows({{0, "in/hmi.zip"}, {5, "in/servo_folder"}});
    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    QTest::qWait(700);
    QCOMPARE(s.watcher.messages.size(), 1);
    QCOMPARE(describe(s.watcher.messages.first(), &s.window),
             box(QMessageBox::Warning, "打包失败", "文件压缩失败!", &s.window));
    QVERIFY(s.shows.progressShown >= 1);
    QCOMPARE(s.shows.progressVisibleAtBox, QList<bool> {false});
    QCOMPARE(readFile("out/pkg.zip"), earlier);
    QCOMPARE(regularFilesBelow(folder.path("out")), QStringList {"pkg.zip"});
    QVERIFY(!QFileInfo::exists("decompression"));
    QTRY_VERIFY(!s.thread()->isRunning());
}

void PackagingTest::unwritableOutputFolderStopsBeforeTheWorker()
{
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    // Root ignores permission bits, but nobody can create a file in procfs:
    // /proc/self is an existing folder that takes no new file.
    const QString unwritable = QStringLiteral("/proc/self");
    QVERIFY(QFileInfo(unwritable).isDir());
    const QStringList before = snapshot(folder.path());
    Session s;
    Gate gate(s.thread());
    gate.open(10);
    s.driver.pathEdit()->setText(unwritable);
    s.driver.setRows({{0, "in/hmi.zip"}});
    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    QTest::qWait(100);
    QCOMPARE(s.watcher.messages.size(), 1);
    QCOMPARE(describe(s.watcher.messages.first(), &s.window),
             box(QMessageBox::Warning, "打包失败", "json文件生成失败!", &s.window));
    QCOMPARE(s.shows.progressShown, 0);
    QCOMPARE(gate.starts(), 0);
    QVERIFY(!QFileInfo::exists(unwritable + "/pkg.zip"));
    QCOMPARE(snapshot(folder.path()), before);
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
    // The worker thread is held before its event loop runs. The manifest is
    // already complete, but no archive may appear while the thread is held,
    // and the GUI thread keeps serving the progress dialog meanwhile.
    QVERIFY(s.progress()->isVisible());
    QCOMPARE(s.progress()->windowModality(), Qt::WindowModal);
    QCOMPARE(readFile("out/" + manifestFileName), QByteArray(R"({"hmi":{"name":"hmi.zip"}})"));
    QTRY_VERIFY(s.progress()->value() >= 3);
    QVERIFY(!QFileInfo::exists("out/pkg.zip"));
    QVERIFY(s.watcher.messages.isEmpty());
    gate.open();
    QVERIFY(s.watcher.waitForMessages(1));
    QCOMPARE(s.watcher.messages.first().title, QStringLiteral("打包成功"));
    QCOMPARE(zipEntryNames("out/pkg.zip"), (QStringList {"hmi.zip", manifestFileName}));
    QTRY_VERIFY(!thread->isRunning());

    // The next run starts the thread again and replaces the archive.
    folder.write("in/hmi.zip", "second hmi");
    s.driver.setRows({{4, "in/logo.png"}, {0, "in/hmi.zip"}});
    gate.open();
    s.start();
    QVERIFY(s.watcher.waitForMessages(2));
    QCOMPARE(describe(s.watcher.messages.at(1), &s.window),
             box(QMessageBox::Information, "打包成功", "升级包打包成功", &s.window));
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

    // While the worker compresses.
    {
        auto window = newWindow();
        Gate gate(window->findChild<QThread *>());
        WindowDriver(window.get()).startButton()->click();
        QTRY_COMPARE(gate.starts(), 1);
        gate.open();
        window.reset();
    }
    QFile::remove("out/" + manifestFileName);
    QFile::remove("out/pkg.zip");

    // Between the worker's answer and the success notice.
    auto window = newWindow();
    WindowDriver(window.get()).startButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(
        QFileInfo::exists("out/pkg.zip") && !QFileInfo::exists("out/" + manifestFileName), 20000);
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
