#ifndef MESSAGEBOXES_H
#define MESSAGEBOXES_H

#include <QString>
#include <QStringList>

class QMessageBox;
class QWidget;

// Makes a message box readable for what its texts carry, mostly paths: each
// line is shown whole on one line as far as the screen allows (a path is not
// broken in the middle of a name), the texts are taken as plain text (a "<"
// in a folder name is no markup), and they can be selected and copied.
// Call it once the texts are set, before the box is shown.
void makeReadable(QMessageBox *box);

// Asks a yes-or-no question (是/否, with 否 the default, so that a stray
// Return changes nothing). Returns true for 是.
bool askYesNo(QWidget *parent, const QString &title, const QString &text);

// Shows a warning with the cause beneath its text.
void showWarning(QWidget *parent, const QString &title, const QString &text, const QString &cause);

// The success box's lines beneath its text: where the package is, its size,
// the items of a merged package that plain items replaced, and the entries
// of it that were left out.
QString successDetails(const QString &archive, qint64 size, const QStringList &leftOutEntries,
                       const QStringList &replacements = QStringList());

#endif // MESSAGEBOXES_H
