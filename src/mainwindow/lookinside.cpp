// The window's look inside a package: which package, its reading on the
// worker thread behind the progress box (the run machinery of mainwindow.cpp),
// and the dialog that shows inspect's report.
#include "mainwindow.h"

#include "filechooser.h"
#include "itemlist.h"
#include "messageboxes.h"
#include "openedfiles.h"
#include "packagedialog.h"
#include "visibletext.h"

#include <QFileDialog>
#include <QFileInfo>

void MainWindow::openFiles(const QStringList &paths)
{
    const OpenedFiles opened = sortOpenedFiles(paths);
    if (opened.package.isEmpty() && opened.notOpened.isEmpty())
        return;
    QMetaObject::invokeMethod(
        this,
        [this, opened] {
            if (!opened.notOpened.isEmpty())
                showWarning(this, QStringLiteral("未打开的文件"),
                            opened.package.isEmpty()
                                ? QStringLiteral("没有打开任何升级包：")
                                : QStringLiteral("只查看第一个升级包，以下文件未打开："),
                            notOpenedDetails(opened.notOpened));
            if (!opened.package.isEmpty())
                lookInsidePackage(opened.package);
        },
        Qt::QueuedConnection);
}

// The chooser is the rows' own: the same filters, and it opens where the
// last file was chosen.
void MainWindow::lookInsidePackage(const QString &path)
{
    if (runActive || successPending)
        return;
    QString package = path;
    if (package.isEmpty()) {
        package
            = QFileDialog::getOpenFileName(this, QStringLiteral("查看升级包"),
                                           chooserStartFolder(QString(), false), itemFileFilters);
        if (package.isEmpty())
            return;
        rememberChosenPath(package, false);
    }
    beginRun(RunKind::Inspection);
    startWorker(escapedText(QFileInfo(package).fileName()));
    emit startInspect(package);
}

void MainWindow::onInspectFinished(const PackageReport &report)
{
    if (deferWhileAsking([=] { onInspectFinished(report); }))
        return;
    endRun();
    if (closeAfterRun) {
        closeSoon();
        return;
    }
    if (!cancelRequested && !report.cancelled)
        showPackage(report);
}

void MainWindow::showPackage(const PackageReport &report)
{
    auto *dialog = new PackageDialog(report, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &PackageDialog::useAsCombinedPackage, this,
            [this](const QString &package) { useAsCombinedPackage(package); });
    // Window-modal, without an event loop of its own.
    dialog->open();
}

// The keyboard goes to the row, as after a refusal, in the window the
// dialog leaves.
void MainWindow::useAsCombinedPackage(const QString &package)
{
    activateWindow();
    items->pointAt(items->useAsCombinedPackage(package));
}
