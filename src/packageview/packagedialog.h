#ifndef PACKAGEDIALOG_H
#define PACKAGEDIALOG_H

#include "packagereport.h"

#include <QDialog>
#include <QString>

namespace Ui {
class PackageDialog;
}

// A look inside a package: its path, the verdict that inspect gives ("有效"
// or "无效") with every problem in inspect's words and codes, its items, and
// the notes on the entries a run leaves out. It shows a report and decides
// nothing; "用作组合包", offered only for a valid package, hands its path to
// whoever opened it.
class PackageDialog : public QDialog
{
    Q_OBJECT

public:
    explicit PackageDialog(const PackageReport &report, QWidget *parent = nullptr);
    ~PackageDialog() override;

signals:
    // The user chose to use the package as the form's 组合包 row.
    void useAsCombinedPackage(const QString &path);

private:
    void showProblems(const QList<ReportedFinding> &problems);
    void showItems(const QList<ReportedItem> &items);
    void showNotes(const QList<ReportedFinding> &notes);

    Ui::PackageDialog *ui;
    QString path;
};

#endif // PACKAGEDIALOG_H
