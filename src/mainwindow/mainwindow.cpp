#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "displaypath.h"
#include "filechooser.h"
#include "itemlist.h"
#include "messageboxes.h"
#include "packagingrun.h"
#include "progressbox.h"
#include "upgradeitemtypes.h"
#include "visibletext.h"
#include "windowsettings.h"
#include "workobject.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int progressPollMs = 100;
constexpr int successNoticeDelayMs = 500;

} // namespace

// What the progress box and the cancel question say for a kind of run.
struct MainWindow::RunWords
{
    QString label;
    QString cancelTip;
    QString cancelTitle;
    QString cancelQuestion;
    QString closeQuestion;
};

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , progress(new ProgressBox(this))
    , progressTimer(new QTimer(this))
    , workThread(new QThread(this))
    , workObject(new WorkObject)
{
    ui->setupUi(this);

    items = new ItemList(ui->listWgtUpgrade, this);
    connect(items, &ItemList::rowAdded, this, [this] { updateTabOrder(); });
    connect(items, &ItemList::lookInsideRequested, this,
            [this](const QString &path) { lookInsidePackage(path); });

    connect(ui->btnChoosefolder, &QPushButton::clicked, this,
            &MainWindow::onBtnChooseFolderClicked);
    connect(ui->btnStartPackaging, &QPushButton::clicked, this,
            &MainWindow::onBtnStartPackagingClicked);
    // Return in either field starts, as on the button (autoDefault in the form).
    connect(ui->lineEditName, &QLineEdit::returnPressed, this,
            &MainWindow::onBtnStartPackagingClicked);
    connect(ui->lineEditPath, &QLineEdit::returnPressed, this,
            &MainWindow::onBtnStartPackagingClicked);
    updateTabOrder();
    restoreSettings();

    progress->setTexts(words().label, words().cancelTip);
    connect(progress, &ProgressBox::cancelAsked, this, [this] { askToCancel(false); });
    workObject->moveToThread(workThread);

    connect(this, &MainWindow::startCompress, workObject, &WorkObject::executeCompress);
    connect(workObject, &WorkObject::compressFinished, this,
            [this](bool isSuccess, const PackageFailure &failure, const WrittenArchive &written) {
                onCompressFinished(isSuccess, failure, written);
            });
    connect(this, &MainWindow::startDecompress, workObject, &WorkObject::execDecompress);
    connect(workObject, &WorkObject::decompressFinished, this,
            [this](bool isSuccess, const CombinedPackage &package, const PackageFailure &failure) {
                onDecompressFinished(isSuccess, package, failure);
            });
    connect(this, &MainWindow::startInspect, workObject, &WorkObject::execInspect);
    connect(workObject, &WorkObject::inspectFinished, this,
            [this](const PackageReport &report) { onInspectFinished(report); });
    connect(progressTimer, &QTimer::timeout, this, [this] { advanceProgress(); });
}

MainWindow::~MainWindow()
{
    saveSettings();
    // A run still going is cancelled; a QThread must not be destroyed while it
    // runs, and the worker goes with it.
    workObject->runControl()->requestCancel();
    workThread->quit();
    workThread->wait();
    delete workObject;
    delete ui;
}

// ---- Item list ----------------------------------------------------------

// Tab follows what the user sees: the rows from the top, each left to right,
// the add button, then the form below the list. Without this, a row added
// later would come after the start button (focus order is creation order).
void MainWindow::updateTabOrder()
{
    QList<QWidget *> order = items->focusOrder();
    order << ui->lineEditName << ui->lineEditPath << ui->btnChoosefolder << ui->btnStartPackaging;
    for (int i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order.at(i), order.at(i + 1));
}

// ---- Progress -----------------------------------------------------------

const MainWindow::RunWords &MainWindow::words() const
{
    static const RunWords packaging {
        QStringLiteral("正在生成升级包"), QStringLiteral("取消打包；已有的同名升级包保持不变"),
        QStringLiteral("取消打包"), QStringLiteral("确定要取消打包吗？"),
        QStringLiteral("正在打包，确定要取消打包并退出吗？")};
    static const RunWords inspection {
        QStringLiteral("正在检查升级包"), QStringLiteral("取消检查；检查不改动任何文件"),
        QStringLiteral("取消检查"), QStringLiteral("确定要取消检查升级包吗？"),
        QStringLiteral("正在检查升级包，确定要取消检查并退出吗？")};
    return runKind == RunKind::Inspection ? inspection : packaging;
}

void MainWindow::advanceProgress()
{
    if (!runActive)
        return;
    const RunControl *control = workObject->runControl();
    if (control->replaceQuestionPending())
        askToReplaceOther();
    const int item = control->currentItem();
    // One arg() call: a chained one would also replace "%2" inside a name.
    if (runKind == RunKind::Packaging)
        progress->setLabel(item >= 0 && item < runItemNames.size()
                               ? QStringLiteral("%1\n%2 (%3/%4)")
                                     .arg(words().label, runItemNames.at(item),
                                          QString::number(item + 1),
                                          QString::number(runItemNames.size()))
                               : words().label);
    // The end of a run moves the bar on to its end.
    progress->advance(control->percent());
}

// The worker takes the request that follows; the progress box is set up for
// the run before, so that the worker's answer always finds it so.
void MainWindow::startWorker(const QString &subject)
{
    progress->start(subject.isEmpty() ? words().label : words().label + QLatin1Char('\n') + subject,
                    words().cancelTip);
    progressTimer->start(progressPollMs);
    workThread->start(QThread::InheritPriority);
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
    return {ui->lineEditPath->text(), ui->lineEditName->text(), items->requestRows()};
}

// The package is never replaced by accident. Nothing is written before the
// answer; on 是 the run writes its archive without a name and puts it over
// the old file only when it is complete, and only over the file the user was
// asked about. A folder in the way is not asked about: it cannot be replaced,
// and the run says so.
bool MainWindow::confirmReplacing(const QString &archive, FileIdentity *replaceable)
{
    *replaceable = FileIdentity::at(archive);
    if (!replaceable->exists || QFileInfo(archive).isDir())
        return true;
    return askYesNo(this, QStringLiteral("升级包已存在"),
                    quotedPath(archive) + QStringLiteral("\n是否替换？"));
}

void MainWindow::onBtnStartPackagingClicked()
{
    // Return may come again from a field while the outcome is still shown.
    if (runActive || successPending)
        return;
    upgradeItemMap.clear();
    CheckedRequest checked;
    const PackageFailure failure = checkPackageRequest(currentRequest(), &checked);
    if (failure.failed()) {
        report(failure);
        return;
    }
    const QString archive = archivePath();
    if (!confirmReplacing(archive, &runReplaceable))
        return;
    rememberOutputFolder(ui->lineEditPath->text());
    upgradeItemMap = checked.items;
    runArchive = archive;
    runWritten = WrittenArchive();
    declinedReplacing = false;
    runCombinedRow = checked.combinedPackageRow;
    runLeftOutEntries.clear();
    runReplacements.clear();
    beginRun(RunKind::Packaging);
    if (checked.combinedPackagePath.isEmpty()) {
        compressUpgradePackage(upgradeItemMap);
        return;
    }
    // The worker screens the package and reads its manifest.
    runItemNames.clear();
    startWorker();
    emit startDecompress(checked.combinedPackagePath);
}

void MainWindow::lockForm(bool locked)
{
    centralWidget()->setEnabled(!locked);
    menuBar()->setEnabled(!locked);
}

void MainWindow::beginRun(RunKind kind)
{
    lockForm(true);
    runKind = kind;
    runActive = true;
    cancelRequested = false;
    // The worker is idle between runs, so nothing reads this meanwhile.
    workObject->runControl()->reset();
}

void MainWindow::endRun()
{
    progressTimer->stop();
    progress->stop();
    // The worker has answered and is idle, so this wait is short; without it
    // the next run's start() could meet a thread that is still winding down.
    workThread->quit();
    workThread->wait();
    runActive = false;
    releaseItems();
    lockForm(false);
}

// A combined package stays open from its screening to its copy, so that the
// bytes copied are the bytes screened; once a run is over it is let go.
void MainWindow::releaseItems()
{
    upgradeItemMap.clear();
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

// While the question is open, a run that completes waits before it puts its
// archive in place: 是 discards it and keeps the earlier package, 否 lets it
// go on.
void MainWindow::askToCancel(bool thenClose)
{
    if (!runActive || askingToCancel || askingToReplace)
        return;
    askingToCancel = true;
    RunControl *control = workObject->runControl();
    control->setHeld(true);
    const bool cancel = askYesNo(progress->dialog(), words().cancelTitle,
                                 thenClose ? words().closeQuestion : words().cancelQuestion);
    askingToCancel = false;
    if (cancel) {
        cancelRequested = true;
        closeAfterRun = closeAfterRun || thenClose;
        control->requestCancel();
    }
    control->setHeld(false);
    if (finishAfterAsking)
        std::exchange(finishAfterAsking, nullptr)();
}

// A file came to the archive's path while the run wrote: it is replaced only
// if the user says so now.
void MainWindow::askToReplaceOther()
{
    if (askingToCancel || askingToReplace)
        return;
    askingToReplace = true;
    const bool replace = askYesNo(progress->dialog(), QStringLiteral("升级包已存在"),
                                  quotedPath(runArchive)
                                      + QStringLiteral("\n打包期间有另一个文件出现在此处，"
                                                       "是否替换它？"));
    askingToReplace = false;
    declinedReplacing = !replace;
    workObject->runControl()->answerReplaceQuestion(replace);
}

void MainWindow::onDecompressFinished(bool isSuccess, const CombinedPackage &package,
                                      const PackageFailure &failure)
{
    if (deferWhileAsking([=] { onDecompressFinished(isSuccess, package, failure); }))
        return;
    PackageFailure merged = failure;
    if (isSuccess && !cancelRequested) {
        const QList<Replacement> replacements = replacementsIn(package, upgradeItemMap);
        const int declinedRow = firstDeclinedReplacement(package, replacements);
        if (declinedRow >= 0) {
            // Nothing is written; the keyboard goes where the user may change it.
            endRun();
            items->pointAt(declinedRow);
            return;
        }
        merged = mergeCombinedPackage(package, &upgradeItemMap, replacements);
        runReplacements = replacements;
        runLeftOutEntries = package.leftOutEntries;
    }
    // What screening or merging refuses, the combined package's row caused.
    if (merged.failed() && merged.row < 0)
        merged.row = runCombinedRow;
    if (cancelRequested || merged.failed()) {
        endRun();
        if (!cancelRequested)
            report(merged);
        if (closeAfterRun)
            closeSoon();
        return;
    }
    compressUpgradePackage(upgradeItemMap);
}

// A plain row of a type the combined package holds too replaces that item
// only when the user agrees: the row of the first one declined, or -1.
int MainWindow::firstDeclinedReplacement(const CombinedPackage &package,
                                         const QList<Replacement> &replacements)
{
    for (const Replacement &r : replacements) {
        const QString question
            = QStringLiteral("组合包 %1 中已有%2（%3）。\n是否用 %4 替换它？")
                  .arg(escapedText(QFileInfo(package.path).fileName()), typeLabelForKey(r.typeKey),
                       escapedText(r.replacedName), escapedText(r.newName));
        if (!askYesNo(this, QStringLiteral("替换升级项"), question))
            return r.row;
    }
    return -1;
}

void MainWindow::compressUpgradePackage(const PackageItems &map)
{
    WriteOptions options;
    options.replaceable = runReplaceable;
    options.askBeforeReplacingOther = true;
    runItemNames.clear();
    for (const PackageItem &item : map)
        runItemNames.append(item.name);
    startWorker();
    emit startCompress(runArchive, map, options);
}

void MainWindow::onCompressFinished(bool isSuccess, const PackageFailure &failure,
                                    const WrittenArchive &written)
{
    if (deferWhileAsking([=] { onCompressFinished(isSuccess, failure, written); }))
        return;
    if (!isSuccess) {
        endRun();
        // 否 to replacing a file that came meanwhile needs no box to say so.
        const bool declined
            = declinedReplacing && failure.reason == PackageFailure::ArchiveAppeared;
        if (failure.kind != PackageFailure::Cancelled && !declined)
            report(failure);
        if (closeAfterRun)
            closeSoon();
        return;
    }
    progressTimer->stop();
    workThread->quit();
    workThread->wait();
    runActive = false;
    releaseItems();
    runWritten = written;
    successPending = true;
    progress->complete();
    if (closeAfterRun) {
        // The user asked to leave, but the package was complete before the
        // cancel could take effect: it stays, and the user learns so.
        finishSuccessfulRun();
        closeSoon();
        return;
    }
    // The full bar stays a moment before the box covers it.
    QTimer::singleShot(successNoticeDelayMs, this, [this] { finishSuccessfulRun(); });
}

// Shows the success box once, whether its moment came or the window is
// being closed before it.
void MainWindow::finishSuccessfulRun()
{
    if (!successPending)
        return;
    successPending = false;
    progress->close();
    lockForm(false);
    reportSuccess(runWritten, runLeftOutEntries);
}

// A close() made while a close event is still being handled (the question
// asked from closeEvent() runs an event loop) would be dropped by Qt.
void MainWindow::closeSoon()
{
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A package just written is not left unannounced.
    finishSuccessfulRun();
    if (!runActive) {
        saveSettings();
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    askToCancel(true);
}

// ---- Remembered between launches ----------------------------------------

void MainWindow::restoreSettings()
{
    const QByteArray geometry = rememberedGeometry();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    ui->lineEditPath->setText(rememberedOutputFolder());
}

void MainWindow::saveSettings()
{
    // A window never shown has no geometry of the user's to keep.
    if (isVisible())
        rememberGeometry(saveGeometry());
    rememberOutputFolder(ui->lineEditPath->text());
}

// ---- Messages -------------------------------------------------------------

QString MainWindow::archivePath() const
{
    return archivePathFor(ui->lineEditPath->text(), ui->lineEditName->text());
}

void MainWindow::report(const PackageFailure &failure)
{
    const PackageMessage message = packageMessage(failure);
    showWarning(this, message.title, message.text, message.cause);
    pointAt(failure);
}

// After a refusal the keyboard is where the fix goes: the field or the row's
// path that the check named.
void MainWindow::pointAt(const PackageFailure &failure)
{
    QLineEdit *field = nullptr;
    if (failure.field == PackageFailure::PackageNameField)
        field = ui->lineEditName;
    else if (failure.field == PackageFailure::OutputFolderField)
        field = ui->lineEditPath;
    if (field) {
        field->setFocus(Qt::OtherFocusReason);
        field->selectAll();
    } else {
        items->pointAt(failure.row);
    }
}

void MainWindow::reportSuccess(const WrittenArchive &written, const QStringList &leftOutEntries)
{
    const QString archive = written.path;
    QMessageBox box(QMessageBox::Information, QStringLiteral("打包成功"),
                    QStringLiteral("升级包打包成功"), QMessageBox::Ok, this);
    QStringList replaced;
    for (const Replacement &replacement : qAsConst(runReplacements))
        replaced << replacementText(replacement);
    QString details = successDetails(archive, qint64(written.size), leftOutEntries, replaced);
    if (written.folderMoved)
        details.prepend(QStringLiteral("输出文件夹在打包期间被移动，升级包在新的位置：\n"));
    box.setInformativeText(details);
    QPushButton *openFolder
        = box.addButton(QStringLiteral("打开所在文件夹"), QMessageBox::ActionRole);
    makeReadable(&box);
    box.exec();
    if (box.clickedButton() == openFolder)
        openFolderOf(archive);
}

void MainWindow::openFolderOf(const QString &archive)
{
    const QString folder = QFileInfo(archive).absolutePath();
    // Without a file manager (a server, a bare desktop) nothing would happen.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        showWarning(this, QStringLiteral("无法打开文件夹"),
                    QStringLiteral("没有可以打开文件夹的程序"),
                    QStringLiteral("升级包所在文件夹：") + quotedPath(folder));
}
