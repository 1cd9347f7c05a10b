// The window's list of item rows: its start-up content, the add row, the
// removal of rows, and files dropped onto them.
#include "mainwindow.h"
#include "testsupport.h"
#include "upgradeitemwidget.h"
#include "windowsession.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

class ItemListTest : public QObject
{
    Q_OBJECT

private slots:
    void startsWithOneEmptyRowAboveTheAddRow();
    void rowsAreAddedInClickOrderAndRemovedWhereTheyStand();
    void droppedFilesFillRows();
    void rowsShrinkWithTheWindow_data();
    void rowsShrinkWithTheWindow();
    void removeButtonLooksDisabledWhileARunLasts();
};

// Drops a local file onto a widget as a file manager would.
static bool drop(QWidget *target, const QString &path)
{
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
    return dropped.isAccepted();
}

static QStringList paths(const WindowDriver &driver)
{
    QStringList result;
    for (int i = 0; i < driver.itemRowCount(); ++i)
        result << (driver.row(i) ? driver.row(i)->filePath() : QStringLiteral("<no row>"));
    return result;
}

static void clickRemove(UpgradeItemWidget *row)
{
    row->findChild<QPushButton *>(QStringLiteral("btnRemove"))->click();
}

void ItemListTest::startsWithOneEmptyRowAboveTheAddRow()
{
    TestFolder folder;
    MainWindow window;
    WindowDriver driver(&window);
    QListWidget *list = driver.list();
    QCOMPARE(list->count(), 2);
    UpgradeItemWidget *row = driver.row(0);
    QVERIFY(row);
    QCOMPARE(row->typeIndex(), 0);
    QCOMPARE(row->typeLabel(), QStringLiteral("HMI"));
    QCOMPARE(row->filePath(), QString());

    QVERIFY(!driver.row(1));
    QPushButton *add = driver.addButton();
    QVERIFY(add);
    QCOMPARE(add->text(), QStringLiteral("添加升级项"));
    // The look inside a package stands beside it.
    QPushButton *lookInside = driver.lookInsideButton();
    QVERIFY(lookInside);
    QCOMPARE(lookInside->text(), QStringLiteral("查看升级包…"));
    QCOMPARE(lookInside->parentWidget(), add->parentWidget());
    QCOMPARE(list->item(1)->text(), QString());
    // Both rows ask for the width an item row needs at least (the list
    // stretches them to its width).
    QCOMPARE(list->item(1)->sizeHint().height(), 61);
    QCOMPARE(list->item(0)->sizeHint(), QSize(row->minimumSizeHint().width(), 61));
    QCOMPARE(list->item(1)->sizeHint(), list->item(0)->sizeHint());

    QCOMPARE(list->selectionMode(), QAbstractItemView::NoSelection);
    QCOMPARE(list->focusPolicy(), Qt::NoFocus);
    QVERIFY(row->findChild<QLineEdit *>(QStringLiteral("lineEditPath"))->focusPolicy()
            != Qt::NoFocus);
    QVERIFY(row->findChild<QComboBox *>(QStringLiteral("cmbType"))->focusPolicy() != Qt::NoFocus);
}

void ItemListTest::rowsAreAddedInClickOrderAndRemovedWhereTheyStand()
{
    TestFolder folder;
    MainWindow window;
    WindowDriver driver(&window);
    QListWidget *list = driver.list();
    driver.row(0)->findChild<QLineEdit *>(QStringLiteral("lineEditPath"))->setText("r0");

    // Each click puts a new empty row directly above the add row.
    QList<QPointer<UpgradeItemWidget>> rows = {driver.row(0)};
    for (int click = 1; click <= 3; ++click) {
        driver.addButton()->click();
        QCOMPARE(driver.itemRowCount(), click + 1);
        UpgradeItemWidget *added = driver.row(click);
        QVERIFY(added && !rows.contains(added));
        QCOMPARE(added->filePath(), QString());
        QCOMPARE(added->typeIndex(), 0);
        QCOMPARE(list->item(click)->sizeHint(), list->item(0)->sizeHint());
        added->findChild<QLineEdit *>(QStringLiteral("lineEditPath"))
            ->setText(QString("r%1").arg(click));
        rows << added;
        QVERIFY(driver.addButton());
    }
    QCOMPARE(paths(driver), QStringList({"r0", "r1", "r2", "r3"}));

    // Taking out a middle row keeps the others in order; the row widget goes
    // once control returns to the event loop.
    clickRemove(rows.at(1));
    QCOMPARE(paths(driver), QStringList({"r0", "r2", "r3"}));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!rows.at(1));

    // Each row removes itself where it stands now, not where it was added.
    clickRemove(rows.at(3));
    QCOMPARE(paths(driver), QStringList({"r0", "r2"}));
    clickRemove(rows.at(0));
    QCOMPARE(paths(driver), QStringList({"r2"}));

    // Removing the only row leaves the add row alone, and nothing comes back.
    driver.setRow(0, 5, "r2");
    clickRemove(rows.at(2));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QCOMPARE(list->count(), 1);
    QVERIFY(driver.addButton());
    QVERIFY(!rows.at(0) && !rows.at(2) && !rows.at(3));

    driver.addButton()->click();
    QCOMPARE(list->count(), 2);
    QVERIFY(driver.row(0));
    QCOMPARE(driver.row(0)->filePath(), QString());
    QCOMPARE(driver.row(0)->typeIndex(), 0);
    QVERIFY(driver.addButton());
}

void ItemListTest::droppedFilesFillRows()
{
    TestFolder folder;
    const QString first = folder.write("in/hmi_v2.zip", "hmi");
    const QString second = folder.write("in/logo.png", "logo");
    MainWindow window;
    WindowDriver driver(&window);
    QWidget *addRow = driver.list()->itemWidget(driver.list()->item(driver.list()->count() - 1));

    // Onto a row: that row's path; onto the add row: a new row below the others.
    QVERIFY(drop(driver.row(0), first));
    QVERIFY(drop(addRow, second));
    QCOMPARE(paths(driver), QStringList({first, second}));
    QMimeData text;
    text.setText("not a file");
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(addRow, &enter);
    QVERIFY(!enter.isAccepted());
    QCOMPARE(driver.itemRowCount(), 2);
}

void ItemListTest::rowsShrinkWithTheWindow_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("width"); // 1: as narrow as the window goes
    QTest::newRow("one row, narrowest") << 1 << 1;
    QTest::newRow("one row, 500 px") << 1 << 500;
    // A vertical scroll bar takes its part of the list's width.
    QTest::newRow("twelve rows, narrowest") << 12 << 1;
    QTest::newRow("twelve rows, 420 px") << 12 << 420;
}

// The real window made narrow: each row's path field gives way, and 选择文件
// and ✕ stay in view without a horizontal scroll bar; made wide again, the
// rows grow back.
void ItemListTest::rowsShrinkWithTheWindow()
{
    QFETCH(int, rows);
    QFETCH(int, width);
    TestFolder folder;
    MainWindow window;
    WindowDriver driver(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Added while the window is wide, as a user would.
    for (int added = 1; added < rows; ++added)
        driver.addButton()->click();
    QListWidget *list = driver.list();
    const auto pathField = [&](int index) {
        return driver.row(index)->findChild<QLineEdit *>(QStringLiteral("lineEditPath"));
    };
    const int widePathField = pathField(0)->width();

    window.resize(width, 600);
    QTRY_COMPARE(window.width(), qMax(width, window.minimumWidth()));
    QTest::qWait(100); // the list lays its rows out again after a resize
    QVERIFY2(!list->horizontalScrollBar()->isVisible(), "horizontal scroll bar");
    QCOMPARE(list->verticalScrollBar()->isVisible(), rows > 1);
    const QRect viewport = list->viewport()->rect();
    for (int index = 0; index < rows; ++index) {
        list->scrollToItem(list->item(index));
        UpgradeItemWidget *row = driver.row(index);
        QTRY_COMPARE(row->width(), viewport.width());
        for (const char *name : {"cmbType", "btnSelectFile", "btnRemove"}) {
            QWidget *part = row->findChild<QWidget *>(QLatin1String(name));
            const QRect seen(part->mapTo(list->viewport(), QPoint()), part->size());
            QVERIFY2(viewport.contains(seen),
                     qPrintable(QStringLiteral("row %1: %2 at %3,%4 %5x%6 outside %7 px")
                                    .arg(index)
                                    .arg(name)
                                    .arg(seen.x())
                                    .arg(seen.y())
                                    .arg(seen.width())
                                    .arg(seen.height())
                                    .arg(viewport.width())));
            // Only the path field gives way.
            QCOMPARE(part->width(), qMin(part->sizeHint().width(), part->maximumWidth()));
        }
        QVERIFY(pathField(index)->width() < widePathField);
    }

    window.resize(900, 600);
    QTRY_COMPARE(driver.row(0)->width(), list->viewport()->width());
    QTRY_VERIFY(pathField(0)->width() > widePathField);
}

// The colour difference of two pixels, channel by channel.
static int distance(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
}

// The ✕ as the user sees it: its grey image on the row's own background, never
// a dark square, and faded while a run lasts, as 选择文件 is.
void ItemListTest::removeButtonLooksDisabledWhileARunLasts()
{
    TestFolder folder;
    folder.write("in/hmi.zip", "hmi");
    QVERIFY(QDir().mkpath("out"));
    WindowSession s;
    s.driver.setRows({{0, "in/hmi.zip"}});
    QTest::qWait(100);
    QWidget *viewport = s.driver.list()->viewport();
    auto *remove = s.driver.row(0)->findChild<QPushButton *>(QStringLiteral("btnRemove"));
    const auto look = [&] {
        const QImage shown = viewport->grab().toImage();
        const QRect button(remove->mapTo(viewport, QPoint()), remove->size());
        // The background beside the button; its corner; the middle of the ✕.
        return QList<QRgb> {shown.pixel(button.left() - 2, button.center().y()),
                            shown.pixel(button.topLeft() + QPoint(2, 2)),
                            shown.pixel(button.center())};
    };
    const QList<QRgb> idle = look();

    Gate gate(s.thread());
    s.start();
    QTRY_COMPARE(gate.starts(), 1);
    QVERIFY(!remove->isEnabled());
    QTest::qWait(50);
    const QList<QRgb> running = look();
    gate.open();
    QVERIFY(s.watcher.waitForMessages(1));

    const auto text = [](const QList<QRgb> &seen) {
        QStringList colours;
        for (QRgb pixel : seen)
            colours << QString::number(pixel & 0xffffff, 16);
        return colours.join(' ');
    };
    const QString seen = "idle " + text(idle) + ", running " + text(running);
    // No square: the button's corner is the row's background.
    QVERIFY2(distance(idle.at(1), idle.at(0)) < 12, qPrintable(seen));
    QVERIFY2(distance(running.at(1), running.at(0)) < 12, qPrintable(seen));
    // The ✕ shows when it can be used, and fades towards the background when not.
    QVERIFY2(distance(idle.at(2), idle.at(0)) > 90, qPrintable(seen));
    QVERIFY2(distance(running.at(2), running.at(0)) * 2 < distance(idle.at(2), idle.at(0)),
             qPrintable(seen));
}

QTEST_MAIN(ItemListTest)
#include "tst_itemlist.moc"
