// What the user meets around a run in the window: the question before an
// earlier package is replaced, boxes that show paths whole and let them be
// copied, the folder opened from the success box, the success box when the
// window is closed just after a run, and the progress box's place.
#include "mainwindow.h"
#include "packagemanifest.h"
#include "testsupport.h"
#include "windowsession.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QUrl>

namespace {

const QString replaceTitle = QStringLiteral("升级包已存在");
const QByteArray earlier = "the package of last week";

// Takes the folders that QDesktopServices is asked to open.
class FolderOpener : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }
};

// How a box's labels let the user read them: every line whole, as plain text
// that can be selected. Empty when they do.
QString readabilityProblems(QMessageBox *box)
{
    QStringList problems;
    for (const char *name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
        auto *label = box->findChild<QLabel *>(QLatin1String(name));
        if (!label || label->text().isEmpty())
            continue;
        if (!(label->textInteractionFlags() & Qt::TextSelectableByMouse))
            problems << QStringLiteral("%1 cannot be selected").arg(name);
        if (label->textFormat() != Qt::PlainText)
            problems << QStringLiteral("%1 is not plain text").arg(name);
        const QFontMetrics metrics(label->font());
        for (const QString &line : label->text().split('\n')) {
            if (metrics.horizontalAdvance(line) > label->contentsRect().width())
                problems << QStringLiteral("%1 wraps \"%2\" (%3 > %4; min %5, box %6)")
                                .arg(name, line)
                                .arg(metrics.horizontalAdvance(line))
                                .arg(label->contentsRect().width())
                                .arg(label->minimumWidth())
                                .arg(box->width());
        }
    }
    const QRect screen = box->screen()->availableGeometry();
    if (box->width() > screen.width())
        problems << QStringLiteral("box wider than the screen");
    return problems.join("; ");
}

} // namespace

class RunOutcomeTest : public QObject
{
    Q_OBJECT

private slots:
    void existingPackageIsReplacedOnlyWhenConfirmed_data();
    void existingPackageIsReplacedOnlyWhenConfirmed();
    void boxesShowPathsWholeAndSelectable_data();
    void boxesShowPathsWholeAndSelectable();
    void openingTheFolder_data();
    void openingTheFolder();
    void closingJustAfterARunShowsTheSuccessBoxFirst();
    void progressBoxIsCentredOnTheWindow();
};

void RunOutcomeTest::existingPackageIsReplacedOnlyWhenConfirmed_data()
{
    QTest::addColumn<bool>("withItems");
    QTest::addColumn<bool>("replace");
    QTest::newRow("an item, 是") << true << true;
    QTest::newRow("an item, 否") << true << false;
    // A run without items writes the manifest alone: a package all the same.
    QTest::newRow("no items, 是") << false << true;
    QTest::newRow("no items, 否") << false << false;
}

void RunOutcomeTest::existingPackageIsReplacedOnlyWhenConfirmed()
{
    QFETCH(bool, withItems);
    QFETCH(bool, replace);
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    folder.write("out/pkg.zip", earlier);
    WindowSession s;
    // Spelled loosely: the question shows the path cleaned and absolute.
    s.driver.pathEdit()->setText("out/./");
    s.driver.setRows(withItems ? QList<QPair<int, QString>> {{0, "in/hmi.zip"}}
                               : QList<QPair<int, QString>> {});
    s.watcher.questionAnswer = replace ? QMessageBox::Yes : QMessageBox::No;
    QStringList whileAsked;
    s.watcher.onQuestion = [&](QMessageBox *box) {
        whileAsked << (box->defaultButton() == box->button(QMessageBox::No) ? "default 否"
                                                                            : "other default")
                   << (readFile("out/pkg.zip") == earlier ? "earlier bytes" : "changed")
                   << filesBelow(folder.path("out"))
                   << (s.thread()->isRunning() ? "running" : "idle");
    };
    s.start();
    QVERIFY(s.watcher.waitForMessages(replace ? 2 : 1));
    QTest::qWait(700);

    const SeenMessage question = s.watcher.messages.first();
    QCOMPARE(describe(question, &s.window),
             describe({QMessageBox::Question,
                       replaceTitle,
                       "「" + folder.path("out/pkg.zip") + "」\n是否替换？",
                       QString(),
                       QMessageBox::Yes | QMessageBox::No,
                       {},
                       true,
                       &s.window},
                      &s.window));
    QCOMPARE(question.buttonTexts, QStringList({"是", "否"}));
    QCOMPARE(whileAsked, QStringList({"default 否", "earlier bytes", "pkg.zip", "idle"}));
    if (replace) {
        QCOMPARE(s.watcher.titles(), QStringList({replaceTitle, "打包成功"}));
        QCOMPARE(zipEntryNames("out/pkg.zip"),
                 withItems ? QStringList({"hmi.zip", manifestFileName})
                           : QStringList {manifestFileName});
    } else {
        QCOMPARE(s.watcher.titles(), QStringList {replaceTitle});
        QCOMPARE(readFile("out/pkg.zip"), earlier);
        QCOMPARE(s.shows.progressShown, 0);
        QVERIFY(s.driver.startButton()->isEnabled());
    }
    QCOMPARE(filesBelow(folder.path("out")), QStringList {"pkg.zip"});
}

void RunOutcomeTest::boxesShowPathsWholeAndSelectable_data()
{
    QTest::addColumn<QString>("subfolder");
    QTest::addColumn<QString>("name");
    // Some 60 characters: as wide as the offscreen screen (800 pixels) allows.
    QTest::newRow("typical path") << "out/发布/第五版"
                                  << "robot_v5_release";
    // A folder name that looks like markup is shown as it is.
    QTest::newRow("angle brackets") << "out/<b>bold</b>"
                                    << "pkg";
    // Wider than the screen: wrapped, but every character still there.
    QTest::newRow("longer than the screen")
        << "out/" + QString(60, 'd') + "/" + QString(60, 'e') << QString(100, 'n');
}

void RunOutcomeTest::boxesShowPathsWholeAndSelectable()
{
    QFETCH(QString, subfolder);
    QFETCH(QString, name);
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    const QString archive = folder.write(subfolder + "/" + name + ".zip", earlier);
    WindowSession s;
    s.driver.pathEdit()->setText(subfolder);
    s.driver.nameEdit()->setText(name);
    s.driver.setRows({{0, "in/hmi.zip"}});
    s.watcher.questionAnswer = QMessageBox::Yes;
    QStringList problems, labelTexts;
    const bool fits = QTest::currentDataTag() != QLatin1String("longer than the screen");
    s.watcher.onMessage = [&](QMessageBox *box) {
        const QString found = readabilityProblems(box);
        if (fits
                ? !found.isEmpty()
                : found.contains("plain") || found.contains("selected") || found.contains("screen"))
            problems << box->windowTitle() + ": " + found;
        for (const QLabel *label : box->findChildren<QLabel *>())
            labelTexts << label->text();
    };
    s.start();
    QVERIFY(s.watcher.waitForMessages(2));
    QCOMPARE(s.watcher.titles(), QStringList({replaceTitle, "打包成功"}));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    // Shown whole, never shortened.
    QVERIFY(labelTexts.contains("「" + archive + "」\n是否替换？"));
    QVERIFY(std::any_of(labelTexts.begin(), labelTexts.end(), [&](const QString &t) {
        return t.startsWith("「" + archive + "」\n大小：");
    }));
}

void RunOutcomeTest::openingTheFolder_data()
{
    QTest::addColumn<bool>("fileManager");
    QTest::newRow("a file manager opens it") << true;
    // As on a server or a bare desktop (the offscreen platform opens nothing).
    QTest::newRow("nothing can open it") << false;
}

void RunOutcomeTest::openingTheFolder()
{
    QFETCH(bool, fileManager);
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    QDir().mkpath("out");
    FolderOpener opener;
    if (fileManager)
        QDesktopServices::setUrlHandler("file", &opener, "open");
    WindowSession s;
    s.driver.setRows({{0, "in/hmi.zip"}});
    s.watcher.onMessage = [](QMessageBox *box) {
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == "打开所在文件夹")
                button->click();
        }
    };
    s.start();
    QVERIFY(s.watcher.waitForMessages(fileManager ? 1 : 2));
    QTest::qWait(200);
    QDesktopServices::unsetUrlHandler("file");
    if (fileManager) {
        QCOMPARE(s.watcher.titles(), QStringList {"打包成功"});
        QCOMPARE(opener.opened, QList<QUrl> {QUrl::fromLocalFile(folder.path("out"))});
    } else {
        QCOMPARE(s.watcher.titles(), QStringList({"打包成功", "无法打开文件夹"}));
        QCOMPARE(describe(s.watcher.messages.last(), &s.window),
                 box(QMessageBox::Warning, "无法打开文件夹", "没有可以打开文件夹的程序",
                     "升级包所在文件夹：「" + folder.path("out") + "」", &s.window));
    }
}

// Closed in the pause between a run's end and its success box, the window
// shows the box first. (A cancel question left open past the end of a run
// holds the run back instead: see the cancelling tests.)
void RunOutcomeTest::closingJustAfterARunShowsTheSuccessBoxFirst()
{
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    QDir().mkpath("out");
    WindowSession s;
    s.driver.setRows({{0, "in/hmi.zip"}});
    QList<bool> windowShownAtBox;
    s.watcher.onMessage = [&](QMessageBox *) { windowShownAtBox << s.window.isVisible(); };
    s.start();
    // The worker has answered; the full bar stays for half a second.
    QTRY_VERIFY_WITH_TIMEOUT(s.progress()->value() == 99 && !s.thread()->isRunning(), 20000);
    QVERIFY(s.watcher.messages.isEmpty());
    s.window.close();
    QVERIFY(s.watcher.waitForMessages(1));
    QTRY_VERIFY(!s.window.isVisible());
    QTest::qWait(700);
    QCOMPARE(s.watcher.titles(), QStringList {"打包成功"});
    QCOMPARE(windowShownAtBox, QList<bool> {true});
    QCOMPARE(zipEntryNames("out/pkg.zip"), QStringList({"hmi.zip", manifestFileName}));
}

void RunOutcomeTest::progressBoxIsCentredOnTheWindow()
{
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    QDir().mkpath("out");
    WindowSession s;
    s.window.setGeometry(40, 30, 520, 400);
    s.driver.setRows({{0, "in/hmi.zip"}});
    s.watcher.answers[replaceTitle] = QMessageBox::Yes;
    const auto offCentre = [&] {
        return (s.progress()->frameGeometry().center() - s.window.frameGeometry().center())
            .manhattanLength();
    };
    Gate gate(s.thread());
    s.start();
    QTRY_COMPARE(gate.starts(), 1);
    QVERIFY(s.progress()->isVisible());
    QVERIFY2(offCentre() <= 1, qPrintable(QString::number(offCentre())));
    // It follows the window, and stays centred when its label grows.
    s.window.move(200, 150);
    QTRY_VERIFY2(offCentre() <= 1, qPrintable(QString::number(offCentre())));
    s.progress()->setLabelText("正在生成升级包\n" + QString(70, 'x') + ".zip (1/1)");
    QTRY_VERIFY2(offCentre() <= 1, qPrintable(QString::number(offCentre())));
    gate.open();
    QVERIFY(s.watcher.waitForMessages(1));

    // Shown again after the window has moved since.
    s.window.move(10, 20);
    s.start();
    QTRY_COMPARE(gate.starts(), 2);
    QVERIFY(s.progress()->isVisible());
    QVERIFY2(offCentre() <= 1, qPrintable(QString::number(offCentre())));
    gate.open();
    QVERIFY(s.watcher.waitForMessages(3));
    QCOMPARE(s.watcher.titles(), QStringList({"打包成功", replaceTitle, "打包成功"}));
}

QTEST_MAIN(RunOutcomeTest)
#include "tst_runoutcome.moc"
