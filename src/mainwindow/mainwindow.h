#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "combinedpackage.h"
#include "packagefailure.h"
#include "packageitem.h"
#include "packagerequest.h"
#include "packagewriter.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>

class ItemList;
class QProgressDialog;
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
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Files given to the program (on its command line, or opened with it from
    // a file manager): each existing file ending in .zip or .kpz becomes a
    // 组合包 row, in place of the empty row the window starts with. Others are
    // passed over. A second package is not refused here: the request check
    // says why when the user starts.
    void addCombinedPackageRows(const QStringList &paths);

signals:
    void startCompress(QString packageName, PackageItems items, WriteOptions options);
    void startDecompress(QString packagePath);

private slots:
    void onBtnChooseFolderClicked();
    void onBtnStartPackagingClicked();

protected:
    // Closing during a run asks whether to cancel it first; closing just
    // after a successful run shows the success box first.
    void closeEvent(QCloseEvent *event) override;
    // Escape and closing on the progress dialog, which also stays centred on
    // the window.
    bool eventFilter(QObject *watched, QEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateTabOrder();
    void configureProgressDialog();
    void advanceProgress();
    void showProgress();
    void centreProgress();

    void restoreSettings();
    void saveSettings();

    PackageRequest currentRequest() const;
    void lockForm(bool locked);
    void beginRun();
    void endRun();
    void releaseItems();
    bool deferWhileAsking(std::function<void()> finish);
    void askToCancel(const QString &question, bool thenClose);
    void askToReplaceOther();
    void onDecompressFinished(bool isSuccess, const CombinedPackage &package,
                              const PackageFailure &failure);
    int firstDeclinedReplacement(const CombinedPackage &package,
                                 const QList<Replacement> &replacements);
    void compressUpgradePackage(const PackageItems &map);
    void onCompressFinished(bool isSuccess, const PackageFailure &failure,
                            const WrittenArchive &written);

    bool confirmReplacing(const QString &archive, FileIdentity *replaceable);
    void finishSuccessfulRun();
    void closeSoon();

    QString archivePath() const;
    void report(const PackageFailure &failure);
    void pointAt(const PackageFailure &failure);
    void reportSuccess(const WrittenArchive &written, const QStringList &leftOutEntries);
    void openFolderOf(const QString &archive);

    Ui::MainWindow *ui;
    QProgressDialog *progressDialog;
    QTimer *progressTimer;
    ItemList *items;
    QThread *workThread;
    WorkObject *workObject;
    PackageItems upgradeItemMap;

    // The run in progress, from the start button until its outcome is known.
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
