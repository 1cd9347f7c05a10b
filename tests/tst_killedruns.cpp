// Runs killed with SIGKILL at random moments, from the command line and from
// the window: whatever the moment, the output folder holds the earlier
// archive as it was or the complete new one, and no other file.
#include "combinedpackage.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>

namespace {

const QByteArray earlier = "the package of last week";
const char windowChildOption[] = "--window-child";

// The window in a process of its own, packing the test's item into out/.
int runWindowChild(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QDir::setCurrent(QString::fromLocal8Bit(argv[2]));
    MainWindow window;
    WindowDriver driver(&window);
    ModalWatcher watcher;
    watcher.questionAnswer = QMessageBox::Yes; // replace the earlier archive
    window.show();
    driver.pathEdit()->setText("out");
    driver.nameEdit()->setText("pkg");
    driver.setRows({{0, "in/hmi.bin"}, {4, "in/logo.png"}});
    driver.startButton()->click();
    return watcher.waitForMessages(1)
            && watcher.messages.first().title == QStringLiteral("打包成功")
        ? 0
        : 1;
}

} // namespace

class KilledRunsTest : public QObject
{
    Q_OBJECT

private slots:
    void killedAtRandomMoments_data();
    void killedAtRandomMoments();
};

void KilledRunsTest::killedAtRandomMoments_data()
{
    QTest::addColumn<bool>("window");
    QTest::newRow("command line") << false;
    QTest::newRow("window") << true;
}

void KilledRunsTest::killedAtRandomMoments()
{
    QFETCH(bool, window);
    TestFolder folder;
    folder.write("in/hmi.bin", randomBytes(8 << 20, 5));
    folder.write("in/logo.png", QByteArray("logo\n").repeated(1000));
    QVERIFY(QDir().mkpath("out"));
    const QString program = window ? QCoreApplication::applicationFilePath() : CLI_EXECUTABLE;
    const QStringList arguments = window
        ? QStringList {windowChildOption, folder.path()}
        : QStringList {"build",  "--output-dir",   "out",    "--name",          "pkg", "--force",
                       "--item", "hmi=in/hmi.bin", "--item", "logo=in/logo.png"};

    // How long a whole run takes, start to end, sets the span of the moments.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runProgram(program, arguments), 0);
    const int span = int(clock.elapsed() * 5 / 4) + 1;
    QVERIFY(inspectPackage(folder.path("out/pkg.zip")).taken());

    int completed = 0;
    for (int round = 0; round < 100; ++round) {
        folder.write("out/pkg.zip", earlier);
        QProcess process;
        process.start(program, arguments);
        QVERIFY(process.waitForStarted());
        QTest::qSleep(1 + QRandomGenerator::global()->bounded(span));
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished();

        QCOMPARE(filesBelow(folder.path("out")), QStringList {"pkg.zip"});
        if (readFile(folder.path("out/pkg.zip")) == earlier)
            continue;
        const PackageScreening written = inspectPackage(folder.path("out/pkg.zip"));
        QVERIFY2(written.taken(), qPrintable(packageMessage(written.problems.value(0)).cause));
        QCOMPARE(written.package.items.keys(), QStringList({"hmi", "logo"}));
        ++completed;
    }
    qInfo("%d of 100 runs completed before they were killed", completed);
}

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], windowChildOption) == 0)
        return runWindowChild(argc, argv);
    QApplication app(argc, argv);
    KilledRunsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_killedruns.moc"
