#include "upgradeitemwidget.h"
#include "ui_upgradeitemwidget.h"

#include "filechooser.h"
#include "upgradeitemtypes.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMenu>
#include <QMimeData>
#include <QPainter>

// The remove button's icon lives in a resource compiled into this static
// library. Referencing the resource's initialiser from here keeps the linker
// from dropping it, and registers it during static initialisation.
static int registerResources()
{
    Q_INIT_RESOURCE(resources);
    return 0;
}
[[maybe_unused]] static const int resourcesRegistered = registerResources();

// The remove button's image is grey already, so the style's own disabled
// form of it looks no different; a faded one shows that it cannot be used.
// (Its style sheet gives it a border so that Qt draws the whole button from
// the sheet: with a transparent background alone, the Fusion style paints its
// bevel from that colour, a dark square.)
static void fadeWhenDisabled(QPushButton *button)
{
    QIcon icon = button->icon();
    for (const QSize &size : icon.availableSizes()) {
        const QPixmap normal = icon.pixmap(size);
        QPixmap faded(normal.size());
        faded.setDevicePixelRatio(normal.devicePixelRatio());
        faded.fill(Qt::transparent);
        QPainter painter(&faded);
        painter.setOpacity(0.3);
        painter.drawPixmap(0, 0, normal);
        painter.end();
        icon.addPixmap(faded, QIcon::Disabled);
    }
    button->setIcon(icon);
}

UpgradeItemWidget::UpgradeItemWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::UpgradeItemWidget)
{
    ui->setupUi(this);
    connect(ui->btnSelectFile, &QPushButton::clicked, this,
            &UpgradeItemWidget::onBtnSelectFileClicked);
    connect(ui->btnRemove, &QPushButton::clicked, this, &UpgradeItemWidget::onBtnRemoveClicked);
    fadeWhenDisabled(ui->btnRemove);
    setAcceptDrops(true);
    // The type chooser would take the right click and show nothing: the row's
    // menu is its menu.
    ui->cmbType->setContextMenuPolicy(Qt::NoContextMenu);
    // The path field keeps its editing menu, with the look inside below it.
    ui->lineEditPath->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->lineEditPath, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        showContextMenu(ui->lineEditPath->createStandardContextMenu(),
                        ui->lineEditPath->mapToGlobal(at));
    });
}

UpgradeItemWidget::~UpgradeItemWidget()
{
    delete ui;
}

QString UpgradeItemWidget::filePath() const
{
    return ui->lineEditPath->text();
}

void UpgradeItemWidget::setFilePath(const QString &path)
{
    ui->lineEditPath->setText(path);
}

int UpgradeItemWidget::typeIndex() const
{
    return ui->cmbType->currentIndex();
}

void UpgradeItemWidget::setTypeIndex(int index)
{
    ui->cmbType->setCurrentIndex(index);
}

QString UpgradeItemWidget::typeLabel() const
{
    return ui->cmbType->currentText();
}

QList<QWidget *> UpgradeItemWidget::focusOrder() const
{
    return {ui->cmbType, ui->lineEditPath, ui->btnSelectFile, ui->btnRemove};
}

void UpgradeItemWidget::focusFilePath()
{
    ui->lineEditPath->setFocus(Qt::OtherFocusReason);
    ui->lineEditPath->selectAll();
}

void UpgradeItemWidget::onBtnSelectFileClicked()
{
    const QString path = QFileDialog::getOpenFileName(
        this, typeLabel(), chooserStartFolder(filePath(), false), itemFileFilters);
    if (path.isEmpty())
        return;
    ui->lineEditPath->setText(path);
    rememberChosenPath(path, false);
}

void UpgradeItemWidget::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedLocalFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void UpgradeItemWidget::dropEvent(QDropEvent *event)
{
    const QString path = droppedLocalFile(event->mimeData());
    if (path.isEmpty())
        return;
    setFilePath(path);
    event->acceptProposedAction();
}

QString UpgradeItemWidget::lookInsideText()
{
    return QStringLiteral("查看升级包…");
}

// Anywhere else on the row: the type chooser and the buttons leave the event
// to it.
void UpgradeItemWidget::contextMenuEvent(QContextMenuEvent *event)
{
    if (typeIndex() != combinedPackageTypeIndex) {
        event->ignore();
        return;
    }
    showContextMenu(new QMenu(this), event->globalPos());
}

// Not exec(): the menu must not hold an event loop of its own while the
// window goes on (a run's end, a closing window).
void UpgradeItemWidget::showContextMenu(QMenu *menu, const QPoint &globalPosition)
{
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (typeIndex() == combinedPackageTypeIndex) {
        if (!menu->isEmpty())
            menu->addSeparator();
        QAction *lookInside = menu->addAction(lookInsideText());
        connect(lookInside, &QAction::triggered, this, &UpgradeItemWidget::lookInsideRequested);
    }
    menu->popup(globalPosition);
}

void UpgradeItemWidget::onBtnRemoveClicked()
{
    emit removeItem();
}
