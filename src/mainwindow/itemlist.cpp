#include "itemlist.h"

#include "filechooser.h"
#include "upgradeitemtypes.h"
#include "upgradeitemwidget.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>

namespace {

constexpr int rowHeight = 61;

bool isPackageFile(const QString &path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    return info.isFile()
        && (suffix.compare(QLatin1String("zip"), Qt::CaseInsensitive) == 0
            || suffix.compare(QLatin1String("kpz"), Qt::CaseInsensitive) == 0);
}

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
    addButton->setToolTip(QStringLiteral("添加一行升级项（也可把文件拖到这里）"));
    auto *layout = new QHBoxLayout(container);
    layout->addWidget(addButton);
    list->setItemWidget(item, container);
    connect(addButton, &QPushButton::clicked, this, [this] { addRow(); });
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
    order << addButton;
    return order;
}

void ItemList::pointAt(int index)
{
    if (UpgradeItemWidget *item = row(index)) {
        list->scrollToItem(list->item(index));
        item->focusFilePath();
    }
}

void ItemList::addCombinedPackages(const QStringList &paths)
{
    QStringList packages;
    for (const QString &path : paths) {
        if (isPackageFile(path))
            packages << path;
    }
    if (packages.isEmpty())
        return;
    // The empty row the window starts with would only be refused as missing.
    UpgradeItemWidget *first = row(0);
    if (count() == 1 && first->filePath().isEmpty())
        removeRow(list->item(0), first);
    for (const QString &package : packages) {
        UpgradeItemWidget *added = addRow();
        added->setTypeIndex(combinedPackageTypeIndex);
        added->setFilePath(package);
    }
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
