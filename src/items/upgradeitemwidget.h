#ifndef UPGRADEITEMWIDGET_H
#define UPGRADEITEMWIDGET_H

#include <QList>
#include <QWidget>

namespace Ui {
class UpgradeItemWidget;
}

// One row of the upgrade item list: a type chooser, the item's file path and
// buttons to choose the file and to ask for the row's removal.
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

signals:
    void removeItem();

protected:
    // A file dropped onto the row becomes its path.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void onBtnSelectFileClicked();
    void onBtnRemoveClicked();

private:
    Ui::UpgradeItemWidget *ui;
};

#endif // UPGRADEITEMWIDGET_H
