// The table of item types and one item row: its chooser, its file dialog, its
// remove button and the button's compiled-in image.
#include "testsupport.h"
#include "upgradeitemtypes.h"
#include "upgradeitemwidget.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QListView>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QResource>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <climits>

class UpgradeItemTest : public QObject
{
    Q_OBJECT

private slots:
    void typeKeysAndLookup();
    void newRowAndChooserLabels();
    void fileDialogPerType();
    void choosersRememberTheLastFolderBetweenLaunches();
    void fileFiltersListWhatTheySay();
    void removeButtonAsksOnceAndLeavesTheRowAlive();
    void closeImage();
};

static const QStringList labels
    = {"HMI", "控制器", "机型文件", "3D模型", "定制logo", "伺服参数", "语言包", "组合包"};
static const QStringList keys
    = {"hmi", "dravo", "robot_configuration", "3d_model", "logo", "servo", "language"};

template<typename T>
static T *part(UpgradeItemWidget *row, const char *name)
{
    return row->findChild<T *>(QLatin1String(name));
}

void UpgradeItemTest::typeKeysAndLookup()
{
    QCOMPARE(upgradeTypeKeys, keys);
    QCOMPARE(combinedPackageTypeIndex, 7);
    for (int index = 0; index < keys.size(); ++index)
        QCOMPARE(typeKeyForIndex(index), keys.at(index));
    for (int index : {-1, 7, 8, INT_MIN, INT_MAX})
        QVERIFY2(typeKeyForIndex(index).isEmpty(), qPrintable(QString::number(index)));
}

void UpgradeItemTest::newRowAndChooserLabels()
{
    TestFolder folder;
    QWidget parent;
    auto *row = new UpgradeItemWidget(&parent);
    QCOMPARE(row->parentWidget(), &parent);
    QCOMPARE(row->filePath(), QString());
    QCOMPARE(row->typeIndex(), 0);
    QCOMPARE(row->typeLabel(), QStringLiteral("HMI"));

    QComboBox *chooser = part<QComboBox>(row, "cmbType");
    QVERIFY(chooser);
    QVERIFY(!chooser->isEditable());
    QStringList shown;
    for (int i = 0; i < chooser->count(); ++i)
        shown << chooser->itemText(i);
    QCOMPARE(shown, labels);
    for (int i = 0; i < labels.size(); ++i) {
        chooser->setCurrentIndex(i);
        QCOMPARE(row->typeIndex(), i);
        QCOMPARE(row->typeLabel(), labels.at(i));
    }
    QCOMPARE(part<QPushButton>(row, "btnSelectFile")->text(), QStringLiteral("选择文件"));
    QCOMPARE(part<QPushButton>(row, "btnSelectFile")->toolTip(),
             QStringLiteral("选择此升级项的文件（也可把文件拖到这一行）"));
    QCOMPARE(part<QPushButton>(row, "btnRemove")->toolTip(), QStringLiteral("删除此升级项"));

    QPushButton *remove = part<QPushButton>(row, "btnRemove");
    QVERIFY(remove);
    QVERIFY(remove->text().isEmpty());
    QCOMPARE(remove->maximumSize(), QSize(29, 29));
    const QIcon icon = remove->icon();
    QCOMPARE(icon.availableSizes(), QList<QSize>({QSize(24, 24)}));
    const QImage expected
        = QImage(":/image/close.png").convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(
        icon.pixmap(QSize(24, 24)).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
        expected);
    // The image is grey already; while a run lasts, a faded one shows that
    // the button cannot be used.
    const QImage disabled = icon.pixmap(QSize(24, 24), QIcon::Disabled).toImage();
    const QPoint centre(12, 12);
    QVERIFY2(qAlpha(disabled.pixel(centre)) * 2 < qAlpha(expected.pixel(centre)),
             qPrintable(QStringLiteral("%1 against %2")
                            .arg(qAlpha(disabled.pixel(centre)))
                            .arg(qAlpha(expected.pixel(centre)))));
}

void UpgradeItemTest::fileDialogPerType()
{
    TestFolder folder;
    const QString file = folder.write("in/servo v2.kpz", "kpz");
    const QString other = folder.write("in/pack.zip", "zip");
    QWidget parent;
    auto *row = new UpgradeItemWidget(&parent);
    QLineEdit *path = part<QLineEdit>(row, "lineEditPath");
    QPushButton *select = part<QPushButton>(row, "btnSelectFile");
    QSignalSpy removeSpy(row, &UpgradeItemWidget::removeItem);

    ModalWatcher watcher;
    QString choice; // empty: cancel
    QList<QStringList> filters;
    QStringList startFolders;
    watcher.onFileDialog = [&](QFileDialog *dialog) {
        QCOMPARE(dialog->parentWidget(), row);
        filters << dialog->nameFilters();
        startFolders << dialog->directory().absolutePath();
        if (choice.isEmpty()) {
            dialog->reject();
            return;
        }
        chooseInFileDialog(dialog, choice);
    };

    // A typed path is kept as typed, spaces included, when the dialog is cancelled.
    const QString typed = QStringLiteral("  /some where/pkg.zip ");
    path->setText(typed);
    QCOMPARE(row->filePath(), typed);
    part<QComboBox>(row, "cmbType")->setCurrentIndex(5);
    select->click();
    QCOMPARE(row->filePath(), typed);

    choice = file;
    select->click();
    QCOMPARE(row->filePath(), file);

    // The type does not touch the path; the caption follows the type.
    part<QComboBox>(row, "cmbType")->setCurrentIndex(7);
    QCOMPARE(row->filePath(), file);
    choice.clear();
    select->click();
    QCOMPARE(row->filePath(), file);
    choice = other;
    select->click();
    QCOMPARE(row->filePath(), other);

    QCOMPARE(watcher.fileDialogCaptions,
             QList<QString>({"伺服参数", "伺服参数", "组合包", "组合包"}));
    for (const QStringList &shown : filters)
        QCOMPARE(shown, QStringList({"升级包 (*.zip *.kpz)", "所有文件 (*)"}));
    // Home until a file is chosen; then the folder of the row's path.
    QCOMPARE(
        startFolders,
        QStringList({QDir::homePath(), QDir::homePath(), folder.path("in"), folder.path("in")}));
    QCOMPARE(removeSpy.count(), 0);
    QVERIFY(watcher.messages.isEmpty());
}

void UpgradeItemTest::choosersRememberTheLastFolderBetweenLaunches()
{
    TestFolder folder;
    const QString file = folder.write("in/pack.zip", "zip");
    ModalWatcher watcher;
    QString startFolder;
    bool choose = true;
    watcher.onFileDialog = [&](QFileDialog *dialog) {
        startFolder = dialog->directory().absolutePath();
        if (choose)
            chooseInFileDialog(dialog, file);
        else
            dialog->reject();
    };
    {
        QWidget parent;
        auto *row = new UpgradeItemWidget(&parent);
        part<QPushButton>(row, "btnSelectFile")->click();
        QCOMPARE(row->filePath(), file);
    }
    // On disk, where a later launch reads it.
    const QSettings stored(folder.settingsPath()
                               + "/upgrade-package-tool/upgrade-package-tool.conf",
                           QSettings::IniFormat);
    QCOMPARE(stored.value("choosers/lastFolder").toString(), folder.path("in"));

    // A row of a later window, its field empty, opens there.
    choose = false;
    QWidget parent;
    auto *row = new UpgradeItemWidget(&parent);
    part<QPushButton>(row, "btnSelectFile")->click();
    QCOMPARE(startFolder, folder.path("in"));
    // A folder removed since is passed over.
    QVERIFY(QDir(folder.path("in")).removeRecursively());
    part<QPushButton>(row, "btnSelectFile")->click();
    QCOMPARE(startFolder, QDir::homePath());
    QCOMPARE(watcher.fileDialogCaptions.size(), 3);
}

// The files a Qt file dialog lists in its folder under its current filter.
static QStringList listedFiles(QFileDialog *dialog)
{
    QStringList names;
    auto *view = dialog->findChild<QListView *>(QStringLiteral("listView"));
    if (!view)
        return {"<no list view>"};
    for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r) {
        const QModelIndex index = view->model()->index(r, 0, view->rootIndex());
        if (view->model()->flags(index) & Qt::ItemIsEnabled)
            names << index.data().toString();
    }
    names.sort();
    return names;
}

void UpgradeItemTest::fileFiltersListWhatTheySay()
{
    TestFolder folder;
    for (const char *name : {"a.zip", "b.kpz", "c.txt", "d.zip.part"})
        folder.write(QStringLiteral("in/") + name, name);
    QWidget parent;
    auto *row = new UpgradeItemWidget(&parent);
    part<QLineEdit>(row, "lineEditPath")->setText(folder.path("in/a.zip"));
    ModalWatcher watcher;
    QList<QStringList> listed;
    watcher.onFileDialog = [&](QFileDialog *dialog) {
        for (const QString &filter : dialog->nameFilters()) {
            dialog->selectNameFilter(filter);
            QElapsedTimer clock;
            clock.start(); // the folder is read in the background
            while (listedFiles(dialog).size() < 2 && clock.elapsed() < 5000)
                QTest::qWait(20);
            QTest::qWait(100);
            listed << listedFiles(dialog);
        }
        dialog->reject();
    };
    part<QPushButton>(row, "btnSelectFile")->click();
    QCOMPARE(listed,
             QList<QStringList>({{"a.zip", "b.kpz"}, {"a.zip", "b.kpz", "c.txt", "d.zip.part"}}));
}

void UpgradeItemTest::removeButtonAsksOnceAndLeavesTheRowAlive()
{
    TestFolder folder;
    QWidget parent;
    QPointer<UpgradeItemWidget> row = new UpgradeItemWidget(&parent);
    part<QLineEdit>(row, "lineEditPath")->setText("kept.zip");
    QSignalSpy spy(row.data(), &UpgradeItemWidget::removeItem);
    part<QPushButton>(row, "btnRemove")->click();
    QCOMPARE(spy.count(), 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QVERIFY(row);
    QCOMPARE(row->parentWidget(), &parent);
    QCOMPARE(row->filePath(), QStringLiteral("kept.zip"));
}

void UpgradeItemTest::closeImage()
{
    TestFolder folder;
    QCOMPARE(QResource(":/image/close.png").compressionAlgorithm(), QResource::NoCompression);
    const QImage image(":/image/close.png");
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(24, 24));
    QVERIFY(image.hasAlphaChannel());

    // A grey "x": the centre and the arms are grey, the corners and the middle
    // of each side are transparent.
    for (QPoint p : {QPoint(0, 0), QPoint(23, 0), QPoint(0, 23), QPoint(23, 23), QPoint(12, 1),
                     QPoint(1, 12), QPoint(22, 12), QPoint(12, 22)})
        QVERIFY2(qAlpha(image.pixel(p)) == 0, qPrintable(QString("%1,%2").arg(p.x()).arg(p.y())));
    for (QPoint p : {QPoint(11, 11), QPoint(12, 12), QPoint(7, 7), QPoint(16, 16), QPoint(7, 16),
                     QPoint(16, 7)}) {
        const QRgb pixel = image.pixel(p);
        QVERIFY2(qAlpha(pixel) >= 128 && (pixel & 0xffffff) == 0xadadad,
                 qPrintable(QString("%1,%2: %3").arg(p.x()).arg(p.y()).arg(pixel, 8, 16)));
    }
}

QTEST_MAIN(UpgradeItemTest)
#include "tst_upgradeitem.moc"
