// Packaging with a combined package among the items, driven through the window:
// an earlier package taken apart and packed again, archives from other
// writers, broken and hostile packages, and what a run leaves on disk.
#include "mainwindow.h"
#include "packagemanifest.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

class CombinedPackageTest : public QObject
{
    Q_OBJECT

private slots:
    void earlierPackageIsTakenApartAndPackedAgain();
    void packagesFromOtherWriters_data();
    void packagesFromOtherWriters();
    void refusedPackages_data();
    void refusedPackages();
    void nestedManifestVariants_data();
    void nestedManifestVariants();
    void linkedExtractionFolder_data();
    void linkedExtractionFolder();
    void progressDialog_data();
    void progressDialog();
    void closingTheWindowWhileTheWorkerRuns();
};

enum TypeIndex { Hmi = 0, Dravo = 1, Logo = 4, Servo = 5, Language = 6, Combined = 7 };

static QStringList namesIn(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

// Bytes that deflate can shrink but that are not one repeated run.
static QByteArray sample(const QByteArray &seed, int lines)
{
    QByteArray data;
    for (int i = 0; i < lines; ++i)
        data += seed + ' ' + QByteArray::number(qint64(i) * 7919 % 1000003) + '\n';
    return data;
}

using Contents = QList<QPair<QString, QByteArray>>;

// Every entry of an archive as (name, data), in archive order.
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
        for (const SeenMessage &m : watcher.messages) {
            seen.append(QString(m.icon == QMessageBox::Information ? "information " : "warning ")
                        + m.title + ": " + m.text
                        + (m.parent == &window ? QString() : QString(" (not on the window)")));
        }
        return seen;
    }
    QProgressDialog *progress() { return window.findChild<QProgressDialog *>(); }
    QString archive() const { return folder.path("out/new.zip"); }

    TestFolder folder;
    MainWindow window;
    WindowDriver driver;
    ModalWatcher watcher;
};

static const QString succeeded = QStringLiteral("information 打包成功: 升级包打包成功");
static const QString notExpanded = QStringLiteral("warning 解压失败: HMI和控制器升级包解压失败!");
static const QString typeTwice
    = QStringLiteral("warning 类型重复: 一个升级包内同一类型升级项仅可存在一个");
static const QString notPacked = QStringLiteral("warning 打包失败: 文件压缩失败!");

void CombinedPackageTest::earlierPackageIsTakenApartAndPackedAgain()
{
    Session s;
    const QByteArray hmi = sample("hmi", 30000), dravo = sample("dravo", 20000);
    const QByteArray logo("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    s.useOutput("first", "A");
    QVERIFY(s.run({{Hmi, s.folder.write("in/hmi_v2.zip", hmi)},
                   {Dravo, s.folder.write("in/ctrl_v5.zip", dravo)},
                   {Logo, s.folder.write("in/img/logo.png", logo)}}));
    QCOMPARE(s.messages(), QStringList {succeeded});
    QCOMPARE(zipEntryNames(s.folder.path("first/A.zip")),
             QStringList({"ctrl_v5.zip", "hmi_v2.zip", "logo.png", manifestFileName}));

    // Left over by a run that never finished; none of it may reach the package.
    s.folder.write("decompression/stale.bin", "stale");
    s.folder.write("decompression/" + manifestFileName,
                   R"({"robot_configuration":{"name":"stale.bin"}})");

    const QByteArray servo = sample("servo", 500), language = sample("language", 800);
    s.watcher.messages.clear();
    s.useOutput("out", "new");
    QVERIFY(s.run({{Servo, s.folder.write("plain/servo_cfg.zip", servo)},
                   {Combined, s.folder.path("first/A.zip")},
                   {Language, s.folder.write("plain/lang.qm", language)}}));
    QCOMPARE(s.messages(), QStringList {succeeded});

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
    QVERIFY(!standsAt(s.folder.path("decompression")));
    QCOMPARE(namesIn(s.folder.path("out")), QStringList {"new.zip"});
}

void CombinedPackageTest::packagesFromOtherWriters_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");

    const QStringList files = {"%DIR/hmi_v9.zip", "%DIR/servo.par", "%DIR/" + manifestFileName};
    const QString python = "import sys, zipfile\n"
                           "with zipfile.ZipFile(sys.argv[1], 'w', int(sys.argv[2])) as z:\n"
                           "    for f in sys.argv[3:]: z.write(f, f.rsplit('/', 1)[-1])\n";
    QTest::newRow("zip -j") << "zip" << QStringList({"-q", "-j", "%ARCHIVE"}) + files;
    QTest::newRow("python deflated")
        << "python3" << QStringList({"-c", python, "%ARCHIVE", "8"}) + files;
    QTest::newRow("python stored")
        << "python3" << QStringList({"-c", python, "%ARCHIVE", "0"}) + files;
    QTest::newRow("7z") << "7z" << QStringList({"a", "-tzip", "-bd", "%ARCHIVE"}) + files;
    QTest::newRow("bsdtar") << "bsdtar"
                            << QStringList({"--format", "zip", "-cf", "%ARCHIVE", "-C", "%DIR",
                                            "hmi_v9.zip", "servo.par", manifestFileName});
}

void CombinedPackageTest::packagesFromOtherWriters()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    if (QStandardPaths::findExecutable(program).isEmpty())
        QSKIP("the archiver is not installed");
    Session s;
    const QByteArray hmi = sample("hmi image", 40000), servo = sample("servo", 50);
    s.folder.write("pkg/hmi_v9.zip", hmi);
    s.folder.write("pkg/servo.par", servo);
    s.folder.write("pkg/" + manifestFileName,
                   R"({"hmi":{"name":"hmi_v9.zip"},"servo":{"name":"servo.par"}})");
    arguments.replaceInStrings("%ARCHIVE", s.folder.path("foreign.zip"));
    arguments.replaceInStrings("%DIR", s.folder.path("pkg"));
    QByteArray output;
    QVERIFY2(runProgram(program, arguments, &output) == 0, output.constData());

    const QByteArray logo = sample("logo", 10);
    QVERIFY(s.run({{Logo, s.folder.write("plain/logo.png", logo)},
                   {Combined, s.folder.path("foreign.zip")}}));
    QCOMPARE(s.messages(), QStringList {succeeded});
    QCOMPARE(contentsOf(s.archive()),
             Contents({{"hmi_v9.zip", hmi},
                       {"logo.png", logo},
                       {"servo.par", servo},
                       {manifestFileName,
                        R"({"hmi":{"name":"hmi_v9.zip"},)"
                        R"("logo":{"name":"logo.png"},"servo":{"name":"servo.par"}})"}}));
    QVERIFY(!standsAt(s.folder.path("decompression")));
}

void CombinedPackageTest::refusedPackages_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("plainName");
    QTest::addColumn<bool>("staleFolder");
    QTest::addColumn<QString>("message");

    const Entry hmi {'f', "hmi.zip", sample("hmi", 3000)};
    const Entry manifest {'f', manifestFileName, R"({"hmi":{"name":"hmi.zip"}})"};
    const QString servo = "servo_cfg.zip";
    QTest::newRow("not a zip") << Entries {} << QByteArray("no archive at all") << servo << false
                               << notExpanded;
    QTest::newRow("truncated") << Entries {hmi, manifest} << QByteArray("<cut>") << servo << false
                               << notExpanded;
    QTest::newRow("no entries") << Entries {} << QByteArray() << servo << false << notExpanded;
    QTest::newRow("no manifest") << Entries {hmi} << QByteArray() << servo << false << notExpanded;
    QTest::newRow("empty manifest") << Entries {hmi, {'f', manifestFileName, ""}} << QByteArray()
                                    << servo << false << notExpanded;
    QTest::newRow("manifest not json")
        << Entries {hmi, {'f', manifestFileName, R"({"hmi":{"name":"hmi.zip"})"}} << QByteArray()
        << servo << false << notExpanded;
    QTest::newRow("parent") << Entries {hmi, manifest, {'f', "../outside/f", "evil"}}
                            << QByteArray() << servo << false << notExpanded;
    QTest::newRow("parent, backslash") << Entries {hmi, manifest, {'f', "..\\outside\\f", "evil"}}
                                       << QByteArray() << servo << false << notExpanded;
    QTest::newRow("absolute") << Entries {hmi, manifest, {'f', "%ABS", "evil"}} << QByteArray()
                              << servo << false << notExpanded;
    QTest::newRow("link, then a file through it")
        << Entries {hmi, manifest, {'l', "d", "%OUT"}, {'f', "d/f", "evil"}} << QByteArray()
        << servo << false << notExpanded;
    QTest::newRow("link, then a file of its name")
        << Entries {hmi, manifest, {'l', "s", "%OUT/f"}, {'f', "s", "evil"}} << QByteArray()
        << servo << false << notExpanded;
    // A nested name must be a bare file name; this one would pack a file
    // from outside the extraction folder.
    QTest::newRow("name leading outside")
        << Entries {hmi, {'f', manifestFileName, R"({"hmi":{"name":"../outside/f"}})"}}
        << QByteArray() << servo << false << notExpanded;
    QTest::newRow("type of a plain row")
        << Entries {hmi,
                    {'f', "s.par", "s"},
                    {'f', manifestFileName,
                     R"({"hmi":{"name":"hmi.zip"},"servo":{"name":"s.par"}})"}}
        << QByteArray() << servo << false << typeTwice;
    QTest::newRow("file name of a plain row")
        << Entries {{'f', "update.zip", "nested"},
                    {'f', manifestFileName, R"({"hmi":{"name":"update.zip"}})"}}
        << QByteArray() << "update.zip" << false
        << "warning 文件名重复: 升级包内存在同名文件update.zip，请重命名后重试";
    QTest::newRow("member without name") << Entries {hmi, {'f', manifestFileName, R"({"hmi":{}})"}}
                                         << QByteArray() << servo << false << notPacked;
    QTest::newRow("stale manifest")
        << Entries {hmi} << QByteArray() << servo << true << notExpanded;
    QTest::newRow("stale item")
        << Entries {hmi,
                    {'f', manifestFileName,
                     R"({"hmi":{"name":"hmi.zip"},"logo":{"name":"stale.png"}})"}}
        << QByteArray() << servo << true << notPacked;
}

void CombinedPackageTest::refusedPackages()
{
    QFETCH(Entries, entries);
    QFETCH(QByteArray, raw);
    QFETCH(QString, plainName);
    QFETCH(bool, staleFolder);
    QFETCH(QString, message);
    Session s;
    s.folder.write("outside/f", "original");
    const QString absolute = s.folder.path() + "-abs";
    const auto removeAbsolute = qScopeGuard([&] { QFile::remove(absolute); });
    for (Entry &e : entries) {
        e.name.replace("%ABS", absolute);
        e.data.replace("%OUT", s.folder.path("outside").toUtf8());
    }
    const QString package = s.folder.path("pkg/combined.zip");
    QDir().mkpath(s.folder.path("pkg"));
    if (raw == "<cut>") {
        writeZip(package, entries);
        const QByteArray whole = readFile(package);
        s.folder.write("pkg/combined.zip", whole.left(whole.size() - 30));
    } else if (!raw.isEmpty()) {
        s.folder.write("pkg/combined.zip", raw);
    } else {
        writeZip(package, entries);
    }
    if (staleFolder) {
        s.folder.write("decompression/stale.png", "stale");
        s.folder.write("decompression/" + manifestFileName, R"({"logo":{"name":"stale.png"}})");
    }
    const QString plain = s.folder.write("plain/" + plainName, "plain servo parameters");

    QVERIFY(s.run({{Servo, plain}, {Combined, package}}));
    QCOMPARE(s.messages(), QStringList {message});
    QCOMPARE(namesIn(s.folder.path("out")), QStringList());
    QVERIFY(!standsAt(s.folder.path("decompression")));
    QVERIFY(!standsAt(absolute));
    QCOMPARE(namesIn(s.folder.path("outside")), QStringList {"f"});
    QCOMPARE(readFile(s.folder.path("outside/f")), QByteArray("original"));
    QCOMPARE(namesIn(s.folder.path()), QStringList({"out", "outside", "pkg", "plain"}));
    QCOMPARE(readFile(plain), QByteArray("plain servo parameters"));
    QVERIFY(!s.progress()->isVisible());
}

void CombinedPackageTest::nestedManifestVariants_data()
{
    QTest::addColumn<QByteArray>("nested");
    QTest::addColumn<Contents>("contents");

    const QPair<QString, QByteArray> servo {"servo_cfg.zip", "servo"};
    const QByteArray servoOnly = R"({"servo":{"name":"servo_cfg.zip"}})";
    QTest::newRow("empty object") << QByteArray("{}")
                                  << Contents {servo, {manifestFileName, servoOnly}};
    QTest::newRow("array") << QByteArray("[]") << Contents {servo, {manifestFileName, servoOnly}};
    QTest::newRow("unknown key")
        << QByteArray(R"({"hmi":{"name":"hmi.zip"},"firmware":{"name":"fw.bin","crc":1}})")
        << Contents {{"fw.bin", "firmware"},
                     {"hmi.zip", "hmi"},
                     servo,
                     {manifestFileName,
                      R"({"firmware":{"name":"fw.bin"},"hmi":{"name":"hmi.zip"},)"
                      R"("servo":{"name":"servo_cfg.zip"}})"}};
}

void CombinedPackageTest::nestedManifestVariants()
{
    QFETCH(QByteArray, nested);
    QFETCH(Contents, contents);
    Session s;
    writeZip(
        s.folder.path("combined.zip"),
        {{'f', "hmi.zip", "hmi"}, {'f', "fw.bin", "firmware"}, {'f', manifestFileName, nested}});
    QVERIFY(s.run({{Servo, s.folder.write("plain/servo_cfg.zip", "servo")},
                   {Combined, s.folder.path("combined.zip")}}));
    QCOMPARE(s.messages(), QStringList {succeeded});
    QCOMPARE(contentsOf(s.archive()), contents);
    QVERIFY(!standsAt(s.folder.path("decompression")));
}

void CombinedPackageTest::linkedExtractionFolder_data()
{
    QTest::addColumn<bool>("goodPackage");
    QTest::newRow("good package") << true;
    QTest::newRow("broken package") << false;
}

void CombinedPackageTest::linkedExtractionFolder()
{
    QFETCH(bool, goodPackage);
    Session s;
    s.folder.write("keep/precious.txt", "precious");
    QVERIFY(QFile::link(s.folder.path("keep"), s.folder.path("decompression")));
    if (goodPackage)
        writeZip(
            s.folder.path("combined.zip"),
            {{'f', "hmi.zip", "hmi"}, {'f', manifestFileName, R"({"hmi":{"name":"hmi.zip"}})"}});
    else
        s.folder.write("combined.zip", "not an archive");

    QVERIFY(s.run({{Combined, s.folder.path("combined.zip")}}));
    QCOMPARE(s.messages(), QStringList {goodPackage ? succeeded : notExpanded});
    QVERIFY(!standsAt(s.folder.path("decompression")));
    QCOMPARE(namesIn(s.folder.path("keep")), QStringList {"precious.txt"});
    QCOMPARE(readFile(s.folder.path("keep/precious.txt")), QByteArray("precious"));
    if (goodPackage)
        QCOMPARE(zipEntryNames(s.archive()), QStringList({"hmi.zip", manifestFileName}));
}

void CombinedPackageTest::progressDialog_data()
{
    QTest::addColumn<bool>("archiveFails");
    QTest::addColumn<bool>("windowBusy");
    QTest::newRow("success") << false << false;
    QTest::newRow("archive fails") << true << false;
    // The window is held up right after the archive start, so the worker's
    // answer is already waiting when it goes on.
    QTest::newRow("success, window held up") << false << true;
    QTest::newRow("archive fails, window held up") << true << true;
}

void CombinedPackageTest::progressDialog()
{
    QFETCH(bool, archiveFails);
    QFETCH(bool, windowBusy);
    Session s;
    writeZip(
        s.folder.path("combined.zip"),
        {{'f', "hmi.zip", "hmi"},
         {'f', manifestFileName, archiveFails ? "{\"hmi\":{}}" : R"({"hmi":{"name":"hmi.zip"}})"}});
    QProgressDialog *dialog = s.progress();
    QVERIFY(dialog);
    QVERIFY(!dialog->isVisible());
    auto *bar = dialog->findChild<QProgressBar *>();
    QVERIFY(bar);

    int extractions = 0, archiveStarts = 0;
    bool shownAtZero = false;
    QList<int> values; // from the extraction on
    connect(
        &s.window, &MainWindow::startDecompress, dialog,
        [&] {
            ++extractions;
            shownAtZero = dialog->isVisible() && dialog->value() == 0;
            dialog->setValue(37); // as if the extraction had taken a while
        },
        Qt::DirectConnection);
    connect(
        &s.window, &MainWindow::startCompress, dialog,
        [&] {
            ++archiveStarts;
            if (windowBusy)
                QThread::msleep(1000);
        },
        Qt::DirectConnection);
    connect(bar, &QProgressBar::valueChanged, dialog, [&](int value) {
        if (extractions > 0)
            values.append(value);
    });

    QVERIFY(s.run({{Servo, s.folder.write("plain/servo_cfg.zip", "servo")},
                   {Combined, s.folder.path("combined.zip")}}));
    QTest::qWait(700);
    QCOMPARE(s.messages(), QStringList {archiveFails ? notPacked : succeeded});
    QCOMPARE(extractions, 1);
    QVERIFY(shownAtZero);
    QCOMPARE(archiveStarts, 1);
    // Back to 0 for the archive run; on success up to 99 after that.
    QStringList seen;
    for (int value : values)
        seen.append(QString::number(value));
    QCOMPARE(values.value(0), 37);
    QVERIFY2(values.indexOf(0) > 0, qPrintable(seen.join(' ')));
    if (!archiveFails)
        QVERIFY2(values.indexOf(99, values.indexOf(0)) > 0, qPrintable(seen.join(' ')));
    QVERIFY(!dialog->isVisible());
    // No progress tick is left running once the run is over.
    for (QTimer *timer : s.window.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        QVERIFY(!timer->isActive());
    QVERIFY(!standsAt(s.folder.path("decompression")));
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
            // The failed expansion leaves the worker thread running.
            QVERIFY(watcher.waitForMessages(1));
            QCOMPARE(watcher.messages.last().title, QStringLiteral("解压失败"));
        }
        // The big package is most likely still being extracted here.
        window->close();
        delete window;
        QTest::qWait(100);
    }
    QCOMPARE(watcher.messages.size(), 1);
}

QTEST_MAIN(CombinedPackageTest)
#include "tst_combinedpackage.moc"
