#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QMap>
#include <QString>
#include <QStringList>

class QProgressDialog;
class QThread;
class QTimer;
class WorkObject;

namespace Ui {
class MainWindow;
}

// The tool's window: collects the request, checks it, and drives a packaging
// run through the worker thread while a progress dialog keeps the user out.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

signals:
    void startCompress(QString packageName, QStringList sourceFiles);
    void startDecompress(QString packagePath);

private slots:
    void onBtnChooseFolderClicked();
    void onBtnStartPackagingClicked();

private:
    void addUpgradeItemRow();
    void addAddRow();
    void configureProgressDialog();
    void advanceProgress();
    void showProgressFromZero();

    bool checkOutputLocation();
    bool collectRows(QString *combinedPackagePath);
    bool checkFileNames();
    void startExpansion(const QString &packagePath);
    void onDecompressFinished(bool isSuccess);
    void failExpansion(const QString &title, const QString &text);
    void endFailedExpansion();

    bool writePackageManifest(const QMap<QString, QString> &map);
    void compressUpgradePackage(const QMap<QString, QString> &map);
    void onCompressFinished(bool isSuccess);

    QString outputFolder() const;
    QString archivePath() const;
    void warn(const QString &title, const QString &text);

    Ui::MainWindow *ui;
    QProgressDialog *progressDialog;
    QTimer *progressTimer;
    QThread *workThread;
    WorkObject *workObject;
    QMap<QString, QString> upgradeItemMap;
};

#endif // MAINWINDOW_H
