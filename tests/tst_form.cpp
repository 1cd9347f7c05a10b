// The main window as it first appears: its form, its title, the idle progress
// dialog with its tick, and the choose-folder button.
#include "appversion.h"
#include "displaycheck.h"
#include "mainwindow.h"
#include "qttranslations.h"
#include "testsupport.h"
#include "upgradeitemwidget.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <algorithm>

class FormTest : public QObject
{
    Q_OBJECT

private slots:
    void widgetsTextsAndLayout();
    void titleAndSize();
    void progressDialogStaysHiddenUntilARun();
    void chooseFolderReplacesTextOnlyWhenAFolderIsChosen();
    void rememberedBetweenLaunches();
    void tabFollowsTheVisualOrder();
    void everyButtonSaysWhatItDoes();
    void noDisplayHint_data();
    void noDisplayHint();
    void qtDialogsSpeakChineseInAChineseLocale();
};

template<typename T>
static T *named(QWidget *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

// Checks that item index of layout is a horizontal 40 x 20 expanding spacer.
static bool isExpandingSpacer(QLayout *layout, int index)
{
    QSpacerItem *spacer = layout->itemAt(index) ? layout->itemAt(index)->spacerItem() : nullptr;
    return spacer && spacer->sizeHint() == QSize(40, 20)
        && spacer->sizePolicy().horizontalPolicy() == QSizePolicy::Expanding
        && spacer->sizePolicy().verticalPolicy() == QSizePolicy::Minimum;
}

void FormTest::widgetsTextsAndLayout()
{
    TestFolder folder;
    MainWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QWidget *central = window.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QStringLiteral("centralwidget"));

    // The form's own widgets in the focus chain (the rows inside the list sit
    // in between; tabFollowsTheVisualOrder walks it with the keyboard).
    QStringList order;
    for (QWidget *w = central->nextInFocusChain(); w != central; w = w->nextInFocusChain()) {
        if (w->parentWidget() == central)
            order << w->objectName() + ':' + w->metaObject()->className();
    }
    QCOMPARE(
        order,
        QStringList({"label_3:QLabel", "listWgtUpgrade:QListWidget", "lineEditName:QLineEdit",
                     "label_4:QLabel", "label:QLabel", "label_2:QLabel", "lineEditPath:QLineEdit",
                     "btnChoosefolder:QPushButton", "btnStartPackaging:QPushButton"}));

    QCOMPARE(named<QLabel>(central, "label_3")->text(), QStringLiteral("包含升级项"));
    QCOMPARE(named<QLabel>(central, "label_4")->text(), QStringLiteral(".zip"));
    QCOMPARE(named<QLabel>(central, "label")->text(), QStringLiteral("生成升级包位置"));
    QCOMPARE(named<QLabel>(central, "label_2")->text(), QStringLiteral("生成升级包名称"));
    QCOMPARE(named<QPushButton>(central, "btnChoosefolder")->text(), QStringLiteral("选择文件夹"));
    QCOMPARE(named<QPushButton>(central, "btnStartPackaging")->text(), QStringLiteral("开始打包"));
    for (const char *name : {"lineEditName", "lineEditPath"}) {
        QLineEdit *edit = named<QLineEdit>(central, name);
        QVERIFY2(edit->text().isEmpty() && edit->placeholderText().isEmpty(), name);
        QVERIFY2(!edit->isReadOnly() && !edit->validator() && edit->maxLength() == 32767, name);
    }
    QCOMPARE(named<QListWidget>(central, "listWgtUpgrade")->frameShape(), QFrame::Box);

    auto *vertical = central->layout();
    QVERIFY(vertical);
    QCOMPARE(vertical->objectName(), QStringLiteral("verticalLayout"));
    QCOMPARE(vertical->count(), 5);
    QLayout *top = vertical->itemAt(0)->layout();
    QGridLayout *grid = qobject_cast<QGridLayout *>(vertical->itemAt(2)->layout());
    QLayout *empty = vertical->itemAt(3)->layout();
    QLayout *bottom = vertical->itemAt(4)->layout();
    QVERIFY(top && grid && empty && bottom);
    QCOMPARE(top->objectName(), QStringLiteral("horizontalLayout_4"));
    QCOMPARE(top->itemAt(0)->widget(), named<QWidget>(central, "label_3"));
    QVERIFY(isExpandingSpacer(top, 1));
    QCOMPARE(vertical->itemAt(1)->widget(), named<QWidget>(central, "listWgtUpgrade"));
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(empty->objectName(), QStringLiteral("horizontalLayout_2"));
    QCOMPARE(empty->count(), 0);
    QCOMPARE(bottom->objectName(), QStringLiteral("horizontalLayout"));
    QVERIFY(isExpandingSpacer(bottom, 0));
    QCOMPARE(bottom->itemAt(1)->widget(), named<QWidget>(central, "btnStartPackaging"));

    // The name row stands above the folder row, each cell one row by one column.
    QCOMPARE(grid->count(), 6);
    const QList<std::pair<const char *, QPoint>> cells
        = {{"label_2", {0, 0}}, {"lineEditName", {0, 1}}, {"label_4", {0, 2}},
           {"label", {1, 0}},   {"lineEditPath", {1, 1}}, {"btnChoosefolder", {1, 2}}};
    for (const auto &cell : cells) {
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(grid->indexOf(named<QWidget>(central, cell.first)), &row, &column,
                              &rowSpan, &columnSpan);
        QCOMPARE(QPoint(row, column), cell.second);
        QCOMPARE(QSize(rowSpan, columnSpan), QSize(1, 1));
    }
    QCOMPARE(grid->contentsMargins().top(), 10);
    QCOMPARE(grid->contentsMargins().left(), bottom->contentsMargins().left());
    QCOMPARE(grid->contentsMargins().bottom(), bottom->contentsMargins().bottom());

    QMenuBar *menuBar = named<QMenuBar>(&window, "menubar");
    QVERIFY(menuBar);
    QCOMPARE(window.menuBar(), menuBar);
    QVERIFY(menuBar->actions().isEmpty());
    QStatusBar *statusBar = named<QStatusBar>(&window, "statusbar");
    QVERIFY(statusBar);
    QCOMPARE(window.statusBar(), statusBar);
    QVERIFY(statusBar->currentMessage().isEmpty());
}

void FormTest::titleAndSize()
{
    TestFolder folder;
    QCOMPARE(APP_VERSION, QStringLiteral("v1.1"));
    QCOMPARE(applicationTitle(), QStringLiteral("组合升级包生成工具v1.1"));

    MainWindow window;
    // The form's own title carries no version; the entry point replaces it.
    QCOMPARE(window.windowTitle(), QStringLiteral("组合升级包生成工具"));
    QCOMPARE(window.size(), QSize(800, 600));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(800, 600));
}

void FormTest::progressDialogStaysHiddenUntilARun()
{
    TestFolder folder;
    MainWindow window;
    const QList<QProgressDialog *> dialogs = window.findChildren<QProgressDialog *>();
    QCOMPARE(dialogs.size(), 1);
    QProgressDialog *dialog = dialogs.first();
    QVERIFY(dialog->windowFlags().testFlag(Qt::FramelessWindowHint));
    // The form is locked during a run instead: a modal dialog would keep the
    // window's close button from reaching the window.
    QCOMPARE(dialog->windowModality(), Qt::NonModal);
    QCOMPARE(dialog->labelText(), QStringLiteral("正在生成升级包"));
    QCOMPARE(dialog->minimumDuration(), 1);
    const QList<QPushButton *> buttons = dialog->findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(buttons.first()->text(), QStringLiteral("取消"));
    QCOMPARE(QPoint(dialog->minimum(), dialog->maximum()), QPoint(0, 100));
    QVERIFY(dialog->autoReset() && dialog->autoClose());

    // A progress dialog that was never closed shows itself after 4 s.
    QVERIFY(!dialog->isVisible());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(4500);
    QVERIFY(!dialog->isVisible());

    const QList<QTimer *> timers
        = window.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(timers.size(), 1);
    QTimer *timer = timers.first();
    QVERIFY(!timer->isActive());
    QVERIFY(!timer->isSingleShot());

    // Outside a run the poll has nothing to show and moves nothing.
    QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
    QVERIFY(!dialog->isVisible());
}

void FormTest::chooseFolderReplacesTextOnlyWhenAFolderIsChosen()
{
    TestFolder folder;
    QVERIFY(QDir().mkdir("out"));
    const QString chosen = folder.path("out");
    MainWindow window;
    WindowDriver driver(&window);

    ModalWatcher watcher;
    bool accept = false;
    QString startFolder;
    watcher.onFileDialog = [&](QFileDialog *dialog) {
        startFolder = dialog->directory().absolutePath();
        QCOMPARE(dialog->parentWidget(), &window);
        QVERIFY(dialog->testOption(QFileDialog::ShowDirsOnly));
        if (accept) {
            dialog->setDirectory(chosen);
            QMetaObject::invokeMethod(dialog, "accept");
        } else {
            dialog->reject();
        }
    };

    driver.pathEdit()->setText(QStringLiteral(" typed by hand "));
    driver.chooseFolderButton()->click();
    QCOMPARE(watcher.fileDialogCaptions, QList<QString>({QStringLiteral("选择生成升级包位置")}));
    // Nothing chosen yet (in this launch or an earlier one) and no folder in
    // the field: home.
    QCOMPARE(startFolder, QDir::homePath());
    QCOMPARE(driver.pathEdit()->text(), QStringLiteral(" typed by hand "));

    accept = true;
    driver.chooseFolderButton()->click();
    QCOMPARE(watcher.fileDialogCaptions.size(), 2);
    QCOMPARE(driver.pathEdit()->text(), chosen);

    // Cancelling keeps a chosen folder as well; the chooser opens in it.
    accept = false;
    driver.chooseFolderButton()->click();
    QCOMPARE(watcher.fileDialogCaptions.size(), 3);
    QCOMPARE(startFolder, chosen);
    QCOMPARE(driver.pathEdit()->text(), chosen);
    // A field naming no folder opens where the user chose last.
    driver.pathEdit()->setText(QStringLiteral("nowhere"));
    driver.chooseFolderButton()->click();
    QCOMPARE(startFolder, chosen);
    QVERIFY(watcher.messages.isEmpty());
}

void FormTest::rememberedBetweenLaunches()
{
    TestFolder folder;
    QVERIFY(QDir().mkdir("out"));
    {
        MainWindow first;
        first.show();
        QVERIFY(QTest::qWaitForWindowExposed(&first));
        QVERIFY(WindowDriver(&first).pathEdit()->text().isEmpty());
        first.setGeometry(30, 40, 640, 480);
        QTRY_COMPARE(first.size(), QSize(640, 480));
        WindowDriver(&first).pathEdit()->setText("out");
        first.close();
    }
    // Kept on disk, where a later launch finds it.
    const QSettings stored(folder.settingsPath()
                               + "/upgrade-package-tool/upgrade-package-tool.conf",
                           QSettings::IniFormat);
    QCOMPARE(stored.value("window/outputFolder").toString(), folder.path("out"));

    {
        MainWindow second;
        WindowDriver driver(&second);
        // Absolute: the next launch may start in another working directory.
        QCOMPARE(driver.pathEdit()->text(), folder.path("out"));
        second.show();
        QVERIFY(QTest::qWaitForWindowExposed(&second));
        QCOMPARE(second.size(), QSize(640, 480));
        // A field naming no folder at the end does not replace it.
        driver.pathEdit()->setText("nowhere");
    }
    {
        MainWindow third;
        QCOMPARE(WindowDriver(&third).pathEdit()->text(), folder.path("out"));
    }
    // A folder removed since is not offered.
    QVERIFY(QDir("out").removeRecursively());
    MainWindow fourth;
    QCOMPARE(WindowDriver(&fourth).pathEdit()->text(), QString());
}

// A widget of the window as a test names it: "row N: objectName", "add", or
// the form widget's objectName.
static QString focusName(const WindowDriver &driver, QWidget *widget)
{
    if (!widget)
        return "<none>";
    if (widget == driver.addButton())
        return "add";
    for (int i = 0; i < driver.itemRowCount(); ++i) {
        if (driver.row(i)->isAncestorOf(widget))
            return QStringLiteral("row %1: %2").arg(i).arg(widget->objectName());
    }
    return widget->objectName();
}

static QStringList walk(const WindowDriver &driver, QWidget *from, int presses,
                        Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    from->setFocus();
    QStringList seen;
    for (int i = 0; i < presses; ++i) {
        QWidget *focused = QApplication::focusWidget();
        seen << focusName(driver, focused);
        if (!focused)
            break;
        QTest::keyClick(focused, Qt::Key_Tab, modifiers);
    }
    return seen;
}

void FormTest::tabFollowsTheVisualOrder()
{
    TestFolder folder;
    MainWindow window;
    WindowDriver driver(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // Rows added after the window was built take their place above the form.
    driver.addButton()->click();
    driver.addButton()->click();
    QCOMPARE(driver.itemRowCount(), 3);
    const auto rowParts = [](int row) {
        QStringList parts;
        for (const char *part : {"cmbType", "lineEditPath", "btnSelectFile", "btnRemove"})
            parts << QStringLiteral("row %1: %2").arg(row).arg(part);
        return parts;
    };
    const QStringList form = {"add",          "btnLookInside",   "lineEditName",
                              "lineEditPath", "btnChoosefolder", "btnStartPackaging"};
    QWidget *firstCombo = driver.row(0)->findChild<QComboBox *>("cmbType");
    QCOMPARE(walk(driver, firstCombo, 18), rowParts(0) + rowParts(1) + rowParts(2) + form);
    QStringList backwards = rowParts(0) + rowParts(1) + rowParts(2) + form;
    std::reverse(backwards.begin(), backwards.end());
    QCOMPARE(walk(driver, driver.startButton(), 18, Qt::ShiftModifier), backwards);

    // Taking out a row keeps the others in order.
    driver.row(1)->findChild<QPushButton *>("btnRemove")->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(walk(driver, firstCombo, 14), rowParts(0) + rowParts(1) + form);
}

void FormTest::everyButtonSaysWhatItDoes()
{
    TestFolder folder;
    MainWindow window;
    WindowDriver(&window).addButton()->click();
    QStringList silent;
    const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
    // The form's two, add and look inside, two rows', cancel in the progress box.
    QCOMPARE(buttons.size(), 2 + 2 + 2 * 2 + 1);
    for (const QPushButton *button : buttons) {
        if (button->toolTip().isEmpty())
            silent << button->objectName() + ":" + button->text();
    }
    QVERIFY2(silent.isEmpty(), qPrintable(silent.join(", ")));
}

void FormTest::noDisplayHint_data()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("wayland");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("hint");
    const QStringList plain = {"./build/upgrade-package-tool"};
    QTest::newRow("X display") << ":0"
                               << ""
                               << "" << plain << false;
    QTest::newRow("Wayland display") << ""
                                     << "wayland-0"
                                     << "" << plain << false;
    QTest::newRow("no display") << ""
                                << ""
                                << "" << plain << true;
    QTest::newRow("no display, xcb asked for") << ""
                                               << ""
                                               << "xcb" << plain << true;
    QTest::newRow("offscreen") << ""
                               << ""
                               << "offscreen" << plain << false;
    QTest::newRow("VNC with options") << ""
                                      << ""
                                      << "vnc:size=800x600" << plain << false;
    QTest::newRow("a list with one that needs none") << ""
                                                     << ""
                                                     << "xcb;offscreen" << plain << false;
    QTest::newRow("-platform offscreen")
        << ""
        << ""
        << "" << plain + QStringList {"-platform", "offscreen"} << false;
    QTest::newRow("--platform xcb overrides offscreen")
        << ""
        << ""
        << "offscreen" << plain + QStringList {"--platform", "xcb"} << true;
}

// Sets environment variables for its lifetime; an empty value unsets one.
class Environment
{
public:
    explicit Environment(const QList<QPair<const char *, QString>> &values)
    {
        for (const auto &value : values) {
            saved.append(
                {value.first, qgetenv(value.first), qEnvironmentVariableIsSet(value.first)});
            if (value.second.isEmpty())
                qunsetenv(value.first);
            else
                qputenv(value.first, value.second.toUtf8());
        }
    }
    ~Environment()
    {
        for (const Saved &value : saved) {
            if (value.wasSet)
                qputenv(value.name, value.value);
            else
                qunsetenv(value.name);
        }
    }

private:
    struct Saved
    {
        const char *name;
        QByteArray value;
        bool wasSet;
    };
    QList<Saved> saved;
};

void FormTest::noDisplayHint()
{
    QFETCH(QString, display);
    QFETCH(QString, wayland);
    QFETCH(QString, platform);
    QFETCH(QStringList, arguments);
    QFETCH(bool, hint);
    const Environment environment(
        {{"DISPLAY", display}, {"WAYLAND_DISPLAY", wayland}, {"QT_QPA_PLATFORM", platform}});
    const QString said = missingDisplayHint(arguments);
    if (!hint) {
        QCOMPARE(said, QString());
        return;
    }
    QVERIFY2(said.contains("xvfb-run -a ./build/upgrade-package-tool"), qPrintable(said));
    QVERIFY2(said.contains("xvfb") && !said.contains('\n'), qPrintable(said));
}

void FormTest::qtDialogsSpeakChineseInAChineseLocale()
{
    QVERIFY(!installQtTranslations(qApp, QLocale(QLocale::English, QLocale::UnitedStates)));
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Look in:"), QStringLiteral("Look in:"));
    QVERIFY(installQtTranslations(qApp, QLocale(QLocale::Chinese, QLocale::China)));
    // The texts of Qt's own file dialog and standard buttons.
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Look in:"), QStringLiteral("查找范围："));
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
    qDeleteAll(qApp->findChildren<QTranslator *>());
}

QTEST_MAIN(FormTest)
#include "tst_form.moc"
