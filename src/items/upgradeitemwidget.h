#ifndef UPGRADEITEMWIDGET_H
#define UPGRADEITEMWIDGET_H

#include <QList>
#include <QWidget>

class QMenu;

namespace Ui {
class UpgradeItemWidget;
}

// One row of the upgrade item list: a type chooser, the item's file path and
// buttons to choose the file and to ask for the row's removal. A 组合包 row's
// context menu (its path field's too) offers a look inside its package.
class UpgradeItemWidget : public QWidget
{
    Q_OBJECT

public:
    explicit UpgradeItemWidget(QWidget *parent = nullptr);
    ~UpgradeItemWidget() override;

    QString filePath() const;
    void setFilePath(const QString &path);
    int typeIndex() const;
    void setTypeIndex(int index);
    QString typeLabel() const;

    // The row's widgets that take the keyboard focus, left to right.
    QList<QWidget *> focusOrder() const;
    // Puts the focus into the path field, with its text selected.
    void focusFilePath();

    // The text of the look inside a package, here and beside 添加升级项.
    static QString lookInsideText();

signals:
    void removeItem();
    // "查看升级包…" was chosen in a 组合包 row's context menu.
    void lookInsideRequested();

protected:
    // A file dropped onto the row becomes its path.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private slots:
    void onBtnSelectFileClicked();
    void onBtnRemoveClicked();

private:
    void showContextMenu(QMenu *menu, const QPoint &globalPosition);

    Ui::UpgradeItemWidget *ui;
};

#endif // UPGRADEITEMWIDGET_H
