#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "combinedpackage.h"
#include "packagefailure.h"
#include "packageitem.h"
#include "packagerequest.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>

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

signals:
    void startCompress(QString packageName, PackageItems items);
    void startDecompress(QString packagePath);

private slots:
    void onBtnChooseFolderClicked();
    void onBtnStartPackagingClicked();

protected:
    // Closing during a run asks whether to cancel it first.
    void closeEvent(QCloseEvent *event) override;
    // Escape and closing on the progress dialog; files dropped on the add row.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void addUpgradeItemRow();
    void addAddRow();
    void configureProgressDialog();
    void advanceProgress();
    void showProgress();

    PackageRequest currentRequest() const;
    void lockForm(bool locked);
    void beginRun();
    void endRun();
    bool deferWhileAsking(std::function<void()> finish);
    void askToCancel(const QString &question, bool thenClose);
    void onDecompressFinished(bool isSuccess, const CombinedPackage &package,
                              const PackageFailure &failure);
    void compressUpgradePackage(const PackageItems &map);
    void onCompressFinished(bool isSuccess, const PackageFailure &failure);

    QString archivePath() const;
    void report(const PackageFailure &failure);
    void reportSuccess(const QString &archive);

    Ui::MainWindow *ui;
    QProgressDialog *progressDialog;
    QTimer *progressTimer;
    QThread *workThread;
    WorkObject *workObject;
    PackageItems upgradeItemMap;

    // The run in progress, from the start button until its outcome is known.
    bool runActive = false;
    bool cancelRequested = false;
    bool closeAfterRun = false;
    bool askingToCancel = false;
    std::function<void()> finishAfterAsking;
    QStringList runItemNames;
};

#endif // MAINWINDOW_H
