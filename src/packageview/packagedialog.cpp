#include "packagedialog.h"
#include "ui_packagedialog.h"

#include "displaypath.h"
#include "upgradeitemtypes.h"
#include "visibletext.h"

#include <QHeaderView>
#include <QPushButton>

namespace {

QTableWidgetItem *cell(const QString &text, Qt::Alignment alignment = Qt::AlignLeft)
{
    auto *item = new QTableWidgetItem(text);
    item->setTextAlignment(int(alignment | Qt::AlignVCenter));
    // A cell too narrow for its text still shows all of it.
    item->setToolTip(text);
    return item;
}

} // namespace

PackageDialog::PackageDialog(const PackageReport &report, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::PackageDialog)
    , path(report.package)
{
    ui->setupUi(this);
    ui->lineEditPackage->setText(quotedPath(report.package));
    ui->lineEditPackage->setCursorPosition(0);
    ui->labelVerdict->setText(report.valid ? QStringLiteral("有效") : QStringLiteral("无效"));
    ui->labelVerdict->setStyleSheet(report.valid
                                        ? QStringLiteral("font-weight: bold; color: #1a7f37")
                                        : QStringLiteral("font-weight: bold; color: #c62828"));
    // Rows as high as a line needs, so that more of them are in view.
    for (QTableWidget *table : {ui->tableProblems, ui->tableItems})
        table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
    showProblems(report.problems);
    showItems(report.items);
    showNotes(report.notes);

    // What a run would refuse is not offered.
    ui->btnUseAsCombined->setEnabled(report.valid);
    // Said once the dialog is gone, so that the window can take the focus.
    connect(ui->btnUseAsCombined, &QPushButton::clicked, this, [this] {
        accept();
        emit useAsCombinedPackage(path);
    });
    connect(ui->btnClose, &QPushButton::clicked, this, &QDialog::reject);
    ui->btnClose->setFocus();
}

PackageDialog::~PackageDialog()
{
    delete ui;
}

// Messages come escaped from the core, as the command line prints them.
void PackageDialog::showProblems(const QList<ReportedFinding> &problems)
{
    ui->labelProblems->setText(QStringLiteral("问题（%1）").arg(problems.size()));
    ui->labelProblems->setVisible(!problems.isEmpty());
    ui->tableProblems->setVisible(!problems.isEmpty());
    ui->tableProblems->setRowCount(problems.size());
    for (int row = 0; row < problems.size(); ++row) {
        ui->tableProblems->setItem(row, 0, cell(problems.at(row).message));
        ui->tableProblems->setItem(row, 1, cell(problems.at(row).code));
    }
    QHeaderView *header = ui->tableProblems->horizontalHeader();
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
}

// Types and names come from the package: what they hold that cannot be seen
// or would act on a terminal is shown escaped, as inspect prints it.
void PackageDialog::showItems(const QList<ReportedItem> &items)
{
    ui->labelItems->setText(QStringLiteral("升级项（%1）").arg(items.size()));
    ui->tableItems->setRowCount(items.size());
    for (int row = 0; row < items.size(); ++row) {
        const ReportedItem &item = items.at(row);
        ui->tableItems->setItem(row, 0, cell(escapedText(typeLabelForKey(item.type))));
        ui->tableItems->setItem(row, 1, cell(escapedText(item.name)));
        ui->tableItems->setItem(row, 2, cell(QString::number(item.size), Qt::AlignRight));
        ui->tableItems->setItem(row, 3, cell(crc32Text(item.crc)));
    }
    QHeaderView *header = ui->tableItems->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
}

void PackageDialog::showNotes(const QList<ReportedFinding> &notes)
{
    ui->labelNotes->setText(QStringLiteral("备注（%1）").arg(notes.size()));
    ui->labelNotes->setVisible(!notes.isEmpty());
    ui->listNotes->setVisible(!notes.isEmpty());
    QStringList lines;
    lines.reserve(notes.size());
    for (const ReportedFinding &note : notes)
        lines.append(note.message);
    ui->listNotes->addItems(lines);
}
