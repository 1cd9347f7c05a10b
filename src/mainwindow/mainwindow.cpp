#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "filechooser.h"
#include "packagingrun.h"
#include "upgradeitemtypes.h"
#include "upgradeitemwidget.h"
#include "workobject.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int progressPollMs = 100;
constexpr int progressCeiling = 99;
constexpr int successNoticeDelayMs = 500;
constexpr int rowHeight = 61;
constexpr int itemRowWidthMargin = 50;

const QString progressLabel = QStringLiteral("正在生成升级包");

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , progressDialog(new QProgressDialog(this))
    , progressTimer(new QTimer(this))
    , workThread(new QThread(this))
    , workObject(new WorkObject)
{
    ui->setupUi(this);

    ui->listWgtUpgrade->setSelectionMode(QAbstractItemView::NoSelection);
    ui->listWgtUpgrade->setFocusPolicy(Qt::NoFocus);
    addUpgradeItemRow();

    connect(ui->btnChoosefolder, &QPushButton::clicked, this,
            &MainWindow::onBtnChooseFolderClicked);
    connect(ui->btnStartPackaging, &QPushButton::clicked, this,
            &MainWindow::onBtnStartPackagingClicked);
    addAddRow();

    configureProgressDialog();
    workObject->moveToThread(workThread);

    connect(this, &MainWindow::startCompress, workObject, &WorkObject::executeCompress);
    connect(workObject, &WorkObject::compressFinished, this,
            [this](bool isSuccess, const PackageFailure &failure) {
                onCompressFinished(isSuccess, failure);
            });
    connect(this, &MainWindow::startDecompress, workObject, &WorkObject::execDecompress);
    connect(workObject, &WorkObject::decompressFinished, this,
            [this](bool isSuccess, const CombinedPackage &package, const PackageFailure &failure) {
                onDecompressFinished(isSuccess, package, failure);
            });
    connect(progressTimer, &QTimer::timeout, this, [this] { advanceProgress(); });
}

MainWindow::~MainWindow()
{
    // A run still going is cancelled; a QThread must not be destroyed while it
    // runs, and the worker goes with it.
    workObject->runControl()->requestCancel();
    workThread->quit();
    workThread->wait();
    delete workObject;
    delete ui;
}

// ---- Item list ----------------------------------------------------------

void MainWindow::addUpgradeItemRow()
{
    QListWidget *list = ui->listWgtUpgrade;
    auto *item = new QListWidgetItem;
    item->setSizeHint(QSize(list->width() - itemRowWidthMargin, rowHeight));
    auto *row = new UpgradeItemWidget(list);
    list->insertItem(list->count() - 1, item);
    list->setItemWidget(item, row);
    connect(row, &UpgradeItemWidget::removeItem, this, [list, item, row] {
        delete list->takeItem(list->row(item));
        row->deleteLater();
    });
}

void MainWindow::addAddRow()
{
    QListWidget *list = ui->listWgtUpgrade;
    auto *item = new QListWidgetItem(list);
    item->setSizeHint(QSize(list->width(), rowHeight));
    auto *container = new QWidget(list);
    auto *addButton = new QPushButton(QStringLiteral("添加升级项"), list);
    auto *layout = new QHBoxLayout(container);
    layout->addWidget(addButton);
    list->setItemWidget(item, container);
    connect(addButton, &QPushButton::clicked, this, [this] { addUpgradeItemRow(); });
    // A file dropped here becomes a new row.
    container->setAcceptDrops(true);
    container->installEventFilter(this);
}

// ---- Progress -----------------------------------------------------------

void MainWindow::configureProgressDialog()
{
    progressDialog->setWindowFlag(Qt::FramelessWindowHint);
    progressDialog->setCancelButtonText(QStringLiteral("取消"));
    // The dialog would cancel itself and hide; a run is cancelled only after
    // the user confirms it, and the dialog stays until the worker has stopped.
    disconnect(progressDialog, &QProgressDialog::canceled, progressDialog, nullptr);
    connect(progressDialog, &QProgressDialog::canceled, this,
            [this] { askToCancel(QStringLiteral("确定要取消打包吗？"), false); });
    progressDialog->installEventFilter(this);
    progressDialog->setMinimumDuration(1);
    // Not modal: a window blocked by a modal dialog never hears its close
    // button, and closing must ask whether to cancel the run. The form is
    // locked instead while a run lasts.
    progressDialog->setWindowModality(Qt::NonModal);
    progressDialog->setLabelText(progressLabel);
    progressDialog->close();
    // The dialog shows itself 4 s after construction unless it is reset,
    // which its own cancel used to do on close.
    progressDialog->reset();
}

void MainWindow::showProgress()
{
    progressDialog->setLabelText(progressLabel);
    progressDialog->setValue(0);
    progressDialog->show();
}

void MainWindow::advanceProgress()
{
    // setValue() would bring a closed dialog back on screen.
    if (!runActive)
        return;
    const RunControl *control = workObject->runControl();
    const int item = control->currentItem();
    // One arg() call: a chained one would also replace "%2" inside a name.
    progressDialog->setLabelText(item >= 0 && item < runItemNames.size()
                                     ? QStringLiteral("%1\n%2 (%3/%4)")
                                           .arg(progressLabel, runItemNames.at(item),
                                                QString::number(item + 1),
                                                QString::number(runItemNames.size()))
                                     : progressLabel);
    // The work only grows; the value never goes back and stops short of the
    // maximum, which would reset the dialog. The end of a run moves it on.
    const int value = qMin(progressCeiling, control->percent());
    if (value > progressDialog->value())
        progressDialog->setValue(value);
}

// ---- Choosing the output folder -------------------------------------------

void MainWindow::onBtnChooseFolderClicked()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("选择生成升级包位置"),
        chooserStartFolder(ui->lineEditPath->text(), true), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    ui->lineEditPath->setText(folder);
    rememberChosenPath(folder, true);
}

// ---- A run ------------------------------------------------------------------

PackageRequest MainWindow::currentRequest() const
{
    PackageRequest request {ui->lineEditPath->text(), ui->lineEditName->text(), {}};
    // The last row holds the add button, not an item.
    for (int row = 0; row < ui->listWgtUpgrade->count() - 1; ++row) {
        const auto *item = qobject_cast<UpgradeItemWidget *>(
            ui->listWgtUpgrade->itemWidget(ui->listWgtUpgrade->item(row)));
        if (item)
            request.rows.append({item->typeIndex(), item->filePath()});
    }
    return request;
}

void MainWindow::onBtnStartPackagingClicked()
{
    upgradeItemMap.clear();
    CheckedRequest checked;
    const PackageFailure failure = checkPackageRequest(currentRequest(), &checked);
    if (failure.failed()) {
        report(failure);
        return;
    }
    upgradeItemMap = checked.items;
    beginRun();
    if (checked.combinedPackagePath.isEmpty()) {
        compressUpgradePackage(upgradeItemMap);
        return;
    }
    // The worker screens the package and reads its manifest.
    runItemNames.clear();
    showProgress();
    progressTimer->start(progressPollMs);
    workThread->start(QThread::InheritPriority);
    emit startDecompress(checked.combinedPackagePath);
}

void MainWindow::lockForm(bool locked)
{
    centralWidget()->setEnabled(!locked);
    menuBar()->setEnabled(!locked);
}

void MainWindow::beginRun()
{
    lockForm(true);
    runActive = true;
    cancelRequested = false;
    // The worker is idle between runs, so nothing reads this meanwhile.
    workObject->runControl()->reset();
}

void MainWindow::endRun()
{
    progressTimer->stop();
    progressDialog->hide();
    // The worker has answered and is idle, so this wait is short; without it
    // the next run's start() could meet a thread that is still winding down.
    workThread->quit();
    workThread->wait();
    runActive = false;
    lockForm(false);
}

// The worker's answer waits while the user is still asked whether to cancel:
// that answer decides what the outcome means.
bool MainWindow::deferWhileAsking(std::function<void()> finish)
{
    if (!askingToCancel)
        return false;
    finishAfterAsking = std::move(finish);
    return true;
}

void MainWindow::askToCancel(const QString &question, bool thenClose)
{
    if (!runActive || askingToCancel)
        return;
    askingToCancel = true;
    QMessageBox box(QMessageBox::Question, QStringLiteral("取消打包"), question,
                    QMessageBox::Yes | QMessageBox::No, progressDialog);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    box.button(QMessageBox::No)->setText(QStringLiteral("否"));
    box.setDefaultButton(QMessageBox::No);
    const bool cancel = box.exec() == QMessageBox::Yes;
    askingToCancel = false;
    if (cancel) {
        cancelRequested = true;
        closeAfterRun = closeAfterRun || thenClose;
        workObject->runControl()->requestCancel();
    }
    if (finishAfterAsking)
        std::exchange(finishAfterAsking, nullptr)();
}

void MainWindow::onDecompressFinished(bool isSuccess, const CombinedPackage &package,
                                      const PackageFailure &failure)
{
    if (deferWhileAsking([=] { onDecompressFinished(isSuccess, package, failure); }))
        return;
    PackageFailure merged = failure;
    if (isSuccess && !cancelRequested)
        merged = mergeCombinedPackage(package, &upgradeItemMap);
    if (cancelRequested || merged.failed()) {
        endRun();
        if (!cancelRequested)
            report(merged);
        if (closeAfterRun)
            close();
        return;
    }
    compressUpgradePackage(upgradeItemMap);
}

void MainWindow::compressUpgradePackage(const PackageItems &map)
{
    runItemNames.clear();
    for (const PackageItem &item : map)
        runItemNames.append(item.name);
    // The dialog is set up for this run before the request goes out, so that
    // the worker's answer always finds it so.
    showProgress();
    progressTimer->start(progressPollMs);
    workThread->start(QThread::InheritPriority);
    emit startCompress(archivePath(), map);
}

void MainWindow::onCompressFinished(bool isSuccess, const PackageFailure &failure)
{
    if (deferWhileAsking([=] { onCompressFinished(isSuccess, failure); }))
        return;
    if (!isSuccess) {
        endRun();
        if (failure.kind != PackageFailure::Cancelled)
            report(failure);
        if (closeAfterRun)
            close();
        return;
    }
    progressTimer->stop();
    workThread->quit();
    workThread->wait();
    runActive = false;
    const QString archive = archivePath();
    if (closeAfterRun) {
        // The user asked to leave; the package was complete before the
        // cancel could take effect, and it stays.
        progressDialog->hide();
        lockForm(false);
        close();
        return;
    }
    progressDialog->setValue(progressCeiling);
    QTimer::singleShot(successNoticeDelayMs, this, [this, archive] {
        progressDialog->close();
        lockForm(false);
        reportSuccess(archive);
    });
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!runActive) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    askToCancel(QStringLiteral("正在打包，确定要取消打包并退出吗？"), true);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == progressDialog) {
        // Escape would hide the dialog and free the form while the worker
        // still writes; it asks to cancel, as the button does.
        const bool escape = event->type() == QEvent::KeyPress
            && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape;
        if (runActive && (escape || event->type() == QEvent::Close)) {
            event->ignore();
            askToCancel(QStringLiteral("确定要取消打包吗？"), false);
            return true;
        }
        return false;
    }
    if (event->type() == QEvent::DragEnter) {
        auto *drag = static_cast<QDragEnterEvent *>(event);
        if (!droppedLocalFile(drag->mimeData()).isEmpty())
            drag->acceptProposedAction();
        return true;
    }
    if (event->type() == QEvent::Drop) {
        auto *drop = static_cast<QDropEvent *>(event);
        const QString path = droppedLocalFile(drop->mimeData());
        if (!path.isEmpty()) {
            addUpgradeItemRow();
            QListWidget *list = ui->listWgtUpgrade;
            qobject_cast<UpgradeItemWidget *>(list->itemWidget(list->item(list->count() - 2)))
                ->setFilePath(path);
            drop->acceptProposedAction();
        }
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- Messages -------------------------------------------------------------

QString MainWindow::archivePath() const
{
    return archivePathFor(ui->lineEditPath->text(), ui->lineEditName->text());
}

void MainWindow::report(const PackageFailure &failure)
{
    const PackageMessage message = packageMessage(failure);
    QMessageBox box(QMessageBox::Warning, message.title, message.text, QMessageBox::Ok, this);
    box.setInformativeText(message.cause);
    box.exec();
}

void MainWindow::reportSuccess(const QString &archive)
{
    const QFileInfo info(archive);
    const QString path = QDir::toNativeSeparators(QDir::cleanPath(info.absoluteFilePath()));
    QMessageBox box(QMessageBox::Information, QStringLiteral("打包成功"),
                    QStringLiteral("升级包打包成功"), QMessageBox::Ok, this);
    box.setInformativeText(
        QStringLiteral("%1\n大小：%2").arg(path, QLocale().formattedDataSize(info.size())));
    QPushButton *openFolder
        = box.addButton(QStringLiteral("打开所在文件夹"), QMessageBox::ActionRole);
    box.exec();
    if (box.clickedButton() == openFolder)
        QDesktopServices::openUrl(QUrl::fromLocalFile(info.absolutePath()));
}
