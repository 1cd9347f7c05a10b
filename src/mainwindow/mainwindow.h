#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "combinedpackage.h"
#include "packagefailure.h"
#include "packageitem.h"
#include "packagereport.h"
#include "packagerequest.h"
#include "packagewriter.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>

class ItemList;
class ProgressBox;
class QThread;
class QTimer;
class WorkObject;

namespace Ui {
class MainWindow;
}

// The tool's window: collects the request, has the core check it, and drives
// a packaging run through the worker thread behind a progress dialog, from
// which the run can be cancelled. It chooses no words of its own for a
// failure: packageMessage() does, for the window and the command line alike.
// It also looks inside a package, the same way: the worker has the core
// inspect it, and a dialog shows the report that inspect would print.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Files given to the program (on its command line, or opened with it from
    // a file manager): the window looks inside the first package among them.
    // Every other file, a second package too, is named in one message first,
    // with why it was not opened. Takes effect once control returns to the
    // event loop, so that the window shows first.
    void openFiles(const QStringList &paths);

    // Looks inside a package: reads it on the worker thread behind the
    // progress box, then shows the report in a dialog. An empty path asks
    // for one first, in a file chooser.
    void lookInsidePackage(const QString &path = QString());

signals:
    void startCompress(QString packageName, PackageItems items, WriteOptions options);
    void startDecompress(QString packagePath);
    void startInspect(QString packagePath);

private slots:
    void onBtnChooseFolderClicked();
    void onBtnStartPackagingClicked();

protected:
    // Closing during a run asks whether to cancel it first; closing just
    // after a successful run shows the success box first.
    void closeEvent(QCloseEvent *event) override;

private:
    // What runs on the worker thread behind the progress box, and what the
    // box and the cancel question say for it.
    enum class RunKind { Packaging, Inspection };
    struct RunWords;
    const RunWords &words() const;

    void updateTabOrder();
    void advanceProgress();
    // subject: what the progress box names beneath its label, if anything.
    void startWorker(const QString &subject = QString());

    void restoreSettings();
    void saveSettings();

    PackageRequest currentRequest() const;
    void lockForm(bool locked);
    void beginRun(RunKind kind);
    void endRun();
    void releaseItems();
    bool deferWhileAsking(std::function<void()> finish);
    void askToCancel(bool thenClose);
    void askToReplaceOther();
    void onDecompressFinished(bool isSuccess, const CombinedPackage &package,
                              const PackageFailure &failure);
    int firstDeclinedReplacement(const CombinedPackage &package,
                                 const QList<Replacement> &replacements);
    void compressUpgradePackage(const PackageItems &map);
    void onCompressFinished(bool isSuccess, const PackageFailure &failure,
                            const WrittenArchive &written);
    void onInspectFinished(const PackageReport &report);
    void showPackage(const PackageReport &report);
    void useAsCombinedPackage(const QString &path);

    bool confirmReplacing(const QString &archive, FileIdentity *replaceable);
    void finishSuccessfulRun();
    void closeSoon();

    QString archivePath() const;
    void report(const PackageFailure &failure);
    void pointAt(const PackageFailure &failure);
    void reportSuccess(const WrittenArchive &written, const QStringList &leftOutEntries);
    void openFolderOf(const QString &archive);

    Ui::MainWindow *ui;
    ProgressBox *progress;
    QTimer *progressTimer;
    ItemList *items;
    QThread *workThread;
    WorkObject *workObject;
    PackageItems upgradeItemMap;

    // The run in progress, from the start button (or the choice of a package
    // to look inside) until its outcome is known.
    RunKind runKind = RunKind::Packaging;
    bool runActive = false;
    bool cancelRequested = false;
    bool closeAfterRun = false;
    bool askingToCancel = false;
    bool askingToReplace = false;
    bool declinedReplacing = false;
    std::function<void()> finishAfterAsking;
    QStringList runItemNames;
    QString runArchive;
    FileIdentity runReplaceable;
    WrittenArchive runWritten;
    int runCombinedRow = -1;
    QStringList runLeftOutEntries;
    QList<Replacement> runReplacements;
    // Between a successful run's end and its success box.
    bool successPending = false;
};

#endif // MAINWINDOW_H
