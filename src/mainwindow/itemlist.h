#ifndef ITEMLIST_H
#define ITEMLIST_H

#include "packagerequest.h"

#include <QList>
#include <QObject>
#include <QStringList>

class QListWidget;
class QListWidgetItem;
class QPushButton;
class QWidget;
class UpgradeItemWidget;

// The window's list of upgrade item rows, above one more row that holds the
// add button and the look inside a package: adding and removing rows, files
// dropped onto the add row, the 组合包 row a package is used as, and the rows
// as a request reads them. The list starts with one empty row.
class ItemList : public QObject
{
    Q_OBJECT

public:
    ItemList(QListWidget *list, QObject *parent);

    int count() const;
    // The item row at index from the top, or null.
    UpgradeItemWidget *row(int index) const;
    UpgradeItemWidget *addRow();
    QList<RequestRow> requestRows() const;

    // The widgets that take the focus, in the order the user sees them: each
    // row left to right from the top, then the add button.
    QList<QWidget *> focusOrder() const;
    // Scrolls to a row and puts the focus into its path field.
    void pointAt(int index);

    // Makes path the form's 组合包 row: the first row of that type, else the
    // list's only row while it is untouched, else a new row. Returns its
    // index.
    int useAsCombinedPackage(const QString &path);

signals:
    // A row was added, so the focus order has changed.
    void rowAdded();
    // The look inside a package was asked for: by the button (path empty)
    // or from a 组合包 row's menu (the row's path, empty when it has none).
    void lookInsideRequested(const QString &path);

protected:
    // A file dropped onto the add row becomes a new row.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void addAddRow();
    void removeRow(QListWidgetItem *item, UpgradeItemWidget *row);
    void scrollToFocusedRow(QWidget *focused);

    QListWidget *list;
    QPushButton *addButton = nullptr;
    QPushButton *lookInsideButton = nullptr;
    // The width an item row's widgets need at least.
    int rowMinimumWidth = 0;
};

#endif // ITEMLIST_H
