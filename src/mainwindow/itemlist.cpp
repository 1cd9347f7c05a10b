#include "itemlist.h"

#include "filechooser.h"
#include "upgradeitemtypes.h"
#include "upgradeitemwidget.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>

namespace {

constexpr int rowHeight = 61;

} // namespace

ItemList::ItemList(QListWidget *list, QObject *parent)
    : QObject(parent)
    , list(list)
{
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setFocusPolicy(Qt::NoFocus);
    // The rows are laid out again whenever the list is resized: each is as
    // wide as the list's viewport, and never narrower than its widgets need
    // (its size hint). The list keeps room for that and for a vertical scroll
    // bar, so the window cannot be made so narrow that a row's buttons slide
    // out of view; between the two, the row's path field gives way.
    list->setResizeMode(QListView::Adjust);
    addRow();
    addAddRow();
    list->setMinimumWidth(rowMinimumWidth + 2 * list->frameWidth()
                          + list->verticalScrollBar()->sizeHint().width());
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget *, QWidget *now) { scrollToFocusedRow(now); });
}

int ItemList::count() const
{
    // The last row holds the add button, not an item.
    return list->count() - 1;
}

UpgradeItemWidget *ItemList::row(int index) const
{
    if (index < 0 || index >= count())
        return nullptr;
    return qobject_cast<UpgradeItemWidget *>(list->itemWidget(list->item(index)));
}

UpgradeItemWidget *ItemList::addRow()
{
    auto *item = new QListWidgetItem;
    auto *added = new UpgradeItemWidget(list);
    added->ensurePolished();
    rowMinimumWidth = qMax(rowMinimumWidth, added->minimumSizeHint().width());
    item->setSizeHint(QSize(rowMinimumWidth, rowHeight));
    // The add row is missing only while the list is being built.
    list->insertItem(addButton ? list->count() - 1 : list->count(), item);
    list->setItemWidget(item, added);
    connect(added, &UpgradeItemWidget::removeItem, this,
            [this, item, added] { removeRow(item, added); });
    connect(added, &UpgradeItemWidget::lookInsideRequested, this,
            [this, added] { emit lookInsideRequested(added->filePath()); });
    emit rowAdded();
    return added;
}

void ItemList::removeRow(QListWidgetItem *item, UpgradeItemWidget *row)
{
    delete list->takeItem(list->row(item));
    row->deleteLater();
}

void ItemList::addAddRow()
{
    auto *item = new QListWidgetItem(list);
    item->setSizeHint(QSize(rowMinimumWidth, rowHeight));
    auto *container = new QWidget(list);
    addButton = new QPushButton(QStringLiteral("添加升级项"), list);
    addButton->setObjectName(QStringLiteral("btnAddItem"));
    addButton->setToolTip(QStringLiteral("添加一行升级项（也可把文件拖到这里）"));
    lookInsideButton = new QPushButton(UpgradeItemWidget::lookInsideText(), list);
    lookInsideButton->setObjectName(QStringLiteral("btnLookInside"));
    lookInsideButton->setToolTip(
        QStringLiteral("选择一个升级包，查看其中的升级项，并检查它是否有效"));
    auto *layout = new QHBoxLayout(container);
    layout->addWidget(addButton, 1);
    layout->addWidget(lookInsideButton);
    list->setItemWidget(item, container);
    connect(addButton, &QPushButton::clicked, this, [this] { addRow(); });
    connect(lookInsideButton, &QPushButton::clicked, this,
            [this] { emit lookInsideRequested(QString()); });
    container->setAcceptDrops(true);
    container->installEventFilter(this);
}

QList<RequestRow> ItemList::requestRows() const
{
    QList<RequestRow> rows;
    for (int index = 0; index < count(); ++index) {
        if (const UpgradeItemWidget *item = row(index))
            rows.append({item->typeIndex(), item->filePath()});
    }
    return rows;
}

QList<QWidget *> ItemList::focusOrder() const
{
    QList<QWidget *> order;
    for (int index = 0; index < count(); ++index) {
        if (const UpgradeItemWidget *item = row(index))
            order += item->focusOrder();
    }
    order << addButton << lookInsideButton;
    return order;
}

void ItemList::pointAt(int index)
{
    if (UpgradeItemWidget *item = row(index)) {
        list->scrollToItem(list->item(index));
        item->focusFilePath();
    }
}

int ItemList::useAsCombinedPackage(const QString &path)
{
    int index = 0;
    while (index < count() && row(index)->typeIndex() != combinedPackageTypeIndex)
        ++index;
    // The empty row the window starts with would only be refused as missing.
    if (index == count() && count() == 1 && row(0)->filePath().isEmpty())
        index = 0;
    UpgradeItemWidget *target = index < count() ? row(index) : addRow();
    target->setTypeIndex(combinedPackageTypeIndex);
    target->setFilePath(path);
    return index;
}

// A row reached with Tab may lie below the list's visible part.
void ItemList::scrollToFocusedRow(QWidget *focused)
{
    if (!focused || !list->viewport()->isAncestorOf(focused))
        return;
    for (int index = 0; index < list->count(); ++index) {
        QWidget *rowWidget = list->itemWidget(list->item(index));
        if (rowWidget && rowWidget->isAncestorOf(focused)) {
            list->scrollToItem(list->item(index));
            return;
        }
    }
}

bool ItemList::eventFilter(QObject *watched, QEvent *event)
{
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
            addRow()->setFilePath(path);
            drop->acceptProposedAction();
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}
