#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "packagechecks.h"
#include "packagemanifest.h"
#include "upgradeitemtypes.h"
#include "upgradeitemwidget.h"
#include "packageextractor.h"
#include "workobject.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>

namespace {

constexpr int progressIntervalMs = 200;
constexpr int progressCeiling = 99;
constexpr int successNoticeDelayMs = 500;
constexpr int rowHeight = 61;
constexpr int itemRowWidthMargin = 50;

const QString typeClashTitle = QStringLiteral("类型重复");
const QString typeClashText = QStringLiteral("一个升级包内同一类型升级项仅可存在一个");
const QString pathClashTitle = QStringLiteral("路径冲突");
const QString extractionFailedTitle = QStringLiteral("解压失败");
const QString extractionFailedText = QStringLiteral("HMI和控制器升级包解压失败!");

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
            [this](bool isSuccess) { onCompressFinished(isSuccess); });
    connect(this, &MainWindow::startDecompress, workObject, &WorkObject::execDecompress);
    connect(workObject, &WorkObject::decompressFinished, this,
            [this](bool isSuccess) { onDecompressFinished(isSuccess); });
    connect(progressTimer, &QTimer::timeout, this, [this] { advanceProgress(); });
}

MainWindow::~MainWindow()
{
    // The worker may still be running after a failed expansion; a QThread must
    // not be destroyed while it runs, and the worker goes with it.
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
}

// ---- Progress -----------------------------------------------------------

void MainWindow::configureProgressDialog()
{
    progressDialog->setWindowFlag(Qt::FramelessWindowHint);
    progressDialog->setCancelButton(nullptr);
    progressDialog->setCancelButtonText(QString());
    progressDialog->setMinimumDuration(1);
    progressDialog->setWindowModality(Qt::WindowModal);
    progressDialog->setLabelText(QStringLiteral("正在生成升级包"));
    progressDialog->close();
}

void MainWindow::advanceProgress()
{
    // The tick stops short of the maximum, which would reset the dialog; only
    // the end of a run moves it further.
    if (progressDialog->value() == progressCeiling)
        return;
    progressDialog->setValue(progressDialog->value() + 1);
}

void MainWindow::showProgressFromZero()
{
    progressDialog->setValue(0);
    progressDialog->show();
    progressTimer->start(progressIntervalMs);
}

// ---- Choosing the output folder -------------------------------------------

void MainWindow::onBtnChooseFolderClicked()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("选择生成升级包位置"), QStringLiteral("/"), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        ui->lineEditPath->setText(folder);
}

// ---- Request checks -------------------------------------------------------

void MainWindow::onBtnStartPackagingClicked()
{
    upgradeItemMap.clear();
    QString combinedPackagePath;
    if (!checkOutputLocation() || !collectRows(&combinedPackagePath) || !checkFileNames())
        return;

    if (!combinedPackagePath.isEmpty()) {
        startExpansion(combinedPackagePath);
        return;
    }
    if (writePackageManifest(upgradeItemMap))
        compressUpgradePackage(upgradeItemMap);
}

bool MainWindow::checkOutputLocation()
{
    const QString folder = outputFolder();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        warn(QStringLiteral("路径不存在"), QStringLiteral("压缩包生成路径不存在"));
        return false;
    }
    if (ui->lineEditName->text().isEmpty()) {
        warn(QStringLiteral("文件名错误"), QStringLiteral("生成压缩包文件名为空"));
        return false;
    }
    // The end of every run removes the extraction folder with all it holds,
    // which would take the new package with it.
    if (isInsideFolder(folder, extractionFolder)
        || isInsideFolder(QFileInfo(archivePath()).path(), extractionFolder)) {
        warn(pathClashTitle, QStringLiteral("生成路径不能位于decompression目录内"));
        return false;
    }
    // The run writes its manifest here and removes it afterwards.
    const QFileInfo manifest(manifestPathFor(folder));
    if (manifest.exists() || manifest.isSymLink()) {
        warn(QStringLiteral("文件已存在"),
             QStringLiteral("生成路径下已存在upgrade_package_config.json，请移除后重试"));
        return false;
    }
    return true;
}

bool MainWindow::collectRows(QString *combinedPackagePath)
{
    const QString archive = archivePath();
    bool combinedSeen = false;
    // The last row holds the add button, not an item.
    for (int row = 0; row < ui->listWgtUpgrade->count() - 1; ++row) {
        auto *item = qobject_cast<UpgradeItemWidget *>(
            ui->listWgtUpgrade->itemWidget(ui->listWgtUpgrade->item(row)));
        if (!item)
            return false;

        const bool combined = item->typeIndex() == combinedPackageTypeIndex;
        const QString key = typeKeyForIndex(item->typeIndex());
        const QString path = item->filePath();
        // One run expands one combined package, so a second one is a repeated type.
        if (combined ? combinedSeen : upgradeItemMap.contains(key)) {
            warn(typeClashTitle, typeClashText);
            return false;
        }
        if (!QFileInfo::exists(path)) {
            warn(QStringLiteral("文件不存在"),
                 QStringLiteral("%1文件不存在，请检查对应路径").arg(item->typeLabel()));
            return false;
        }
        if (isSamePath(path, archive)) {
            warn(pathClashTitle,
                 QStringLiteral("%1文件不能与生成的升级包相同").arg(item->typeLabel()));
            return false;
        }
        // The extraction folder is emptied before an expansion and removed at
        // the end of every run.
        if (isInsideFolder(path, extractionFolder)) {
            warn(pathClashTitle,
                 QStringLiteral("%1文件不能位于decompression目录内").arg(item->typeLabel()));
            return false;
        }

        if (combined) {
            combinedSeen = true;
            *combinedPackagePath = path;
        } else {
            upgradeItemMap.insert(key, path);
        }
    }
    return true;
}

bool MainWindow::checkFileNames()
{
    // Entries are stored under their bare file names, and a package holding
    // two of one name could not say which file is which.
    const QString clash = findFileNameClash(upgradeItemMap);
    if (clash.isEmpty())
        return true;
    warn(QStringLiteral("文件名重复"),
         QStringLiteral("升级包内存在同名文件%1，请重命名后重试").arg(clash));
    return false;
}

// ---- Combined package expansion -------------------------------------------

void MainWindow::startExpansion(const QString &packagePath)
{
    showProgressFromZero();
    workThread->start(QThread::InheritPriority);
    emit startDecompress(packagePath);
}

void MainWindow::onDecompressFinished(bool isSuccess)
{
    progressTimer->stop();
    if (!isSuccess) {
        // The worker has already removed what it extracted.
        progressDialog->hide();
        warn(extractionFailedTitle, extractionFailedText);
        return;
    }

    QJsonObject nested;
    if (!readManifestFile(extractionFolder + QLatin1Char('/') + manifestFileName, &nested)) {
        failExpansion(extractionFailedTitle, extractionFailedText);
        return;
    }
    switch (mergeNestedManifest(nested, extractionFolder, &upgradeItemMap)) {
    case MergeResult::Merged:
        break;
    case MergeResult::DuplicateType:
        failExpansion(typeClashTitle, typeClashText);
        return;
    case MergeResult::UnsafeName:
        // This tool writes bare file names only; anything else is not a
        // package it can take apart.
        failExpansion(extractionFailedTitle, extractionFailedText);
        return;
    }
    // Both show their own warning.
    if (!checkFileNames() || !writePackageManifest(upgradeItemMap)) {
        endFailedExpansion();
        return;
    }
    compressUpgradePackage(upgradeItemMap);
}

void MainWindow::failExpansion(const QString &title, const QString &text)
{
    warn(title, text);
    endFailedExpansion();
}

void MainWindow::endFailedExpansion()
{
    progressDialog->hide();
    removeWorkingFolder(extractionFolder);
}

// ---- Manifest and archive -------------------------------------------------

bool MainWindow::writePackageManifest(const QMap<QString, QString> &map)
{
    if (writeManifestFile(manifestPathFor(outputFolder()), map))
        return true;
    warn(QStringLiteral("打包失败"), QStringLiteral("json文件生成失败!"));
    return false;
}

void MainWindow::compressUpgradePackage(const QMap<QString, QString> &map)
{
    QStringList sourceFiles = map.values();
    sourceFiles.append(manifestPathFor(outputFolder()));
    // Reset the dialog before the request goes out: setValue() on a shown
    // modal dialog processes events, and the worker's answer must not arrive
    // before the dialog is set up for this run.
    showProgressFromZero();
    workThread->start(QThread::InheritPriority);
    emit startCompress(archivePath(), sourceFiles);
}

void MainWindow::onCompressFinished(bool isSuccess)
{
    progressTimer->stop();
    // The worker has answered and is idle, so this wait is short; without it
    // the next run's start() could meet a thread that is still winding down
    // and leave its request unserved.
    workThread->quit();
    workThread->wait();
    if (isSuccess) {
        progressDialog->setValue(progressCeiling);
        QTimer::singleShot(successNoticeDelayMs, this, [this] {
            progressDialog->close();
            QMessageBox::information(this, QStringLiteral("打包成功"),
                                     QStringLiteral("升级包打包成功"));
        });
    } else {
        progressDialog->hide();
        warn(QStringLiteral("打包失败"), QStringLiteral("文件压缩失败!"));
    }
    QFile::remove(manifestPathFor(outputFolder()));
    removeWorkingFolder(extractionFolder);
}

// ---- Helpers ----------------------------------------------------------------

QString MainWindow::outputFolder() const
{
    return ui->lineEditPath->text();
}

QString MainWindow::archivePath() const
{
    return archivePathFor(outputFolder(), ui->lineEditName->text());
}

void MainWindow::warn(const QString &title, const QString &text)
{
    QMessageBox::warning(this, title, text);
}
