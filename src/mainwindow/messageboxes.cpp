#include "messageboxes.h"

#include "displaypath.h"
#include "visibletext.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace {

// Room a message box keeps beside its texts: the icon, margins and spacing.
constexpr int besideTexts = 120;
// Left-out entries named in the success box; a longer list is counted only.
constexpr int leftOutNamesShown = 10;

// The width a QMessageBox never grows beyond (Qt 5's own rule): past it, Qt
// wraps a label anywhere, even inside a name.
int boxWidthLimit(const QWidget *box)
{
    const QWidget *anchor = box->parentWidget() ? box->parentWidget() : box;
    const QScreen *screen = anchor->screen() ? anchor->screen() : QGuiApplication::primaryScreen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 1024;
    return screenWidth <= 1024 ? screenWidth : qMin(screenWidth - 480, 1000);
}

// Asks the label for the width of its widest line, so that QMessageBox sizes
// itself for it instead of wrapping at the first break it finds (in Chinese
// text and in paths, breaks are everywhere). A line wider than the limit
// still wraps, at a separator or a blank where there is one.
void widenFor(QLabel *label, int limit)
{
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    const QFontMetrics metrics(label->font());
    int widest = 0;
    for (const QString &line : label->text().split(QLatin1Char('\n')))
        widest = qMax(widest, metrics.horizontalAdvance(line));
    // One character more: the label's margins would wrap the last one.
    label->setMinimumWidth(qMin(widest + metrics.averageCharWidth(), limit));
}

QString escapedLines(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = escapedText(line);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

void makeReadable(QMessageBox *box)
{
    // Names from a package are shown with hidden characters escaped, as
    // packageMessage() and the command line show them; the lines a box's
    // texts are made of stay lines.
    box->setText(escapedLines(box->text()));
    box->setInformativeText(escapedLines(box->informativeText()));
    box->ensurePolished();
    const int limit = qMax(200, boxWidthLimit(box) - besideTexts);
    for (const char *name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
        if (auto *label = box->findChild<QLabel *>(QLatin1String(name)))
            widenFor(label, limit);
    }
}

bool askYesNo(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    box.button(QMessageBox::No)->setText(QStringLiteral("否"));
    box.setDefaultButton(QMessageBox::No);
    makeReadable(&box);
    return box.exec() == QMessageBox::Yes;
}

void showWarning(QWidget *parent, const QString &title, const QString &text, const QString &cause)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setInformativeText(cause);
    makeReadable(&box);
    box.exec();
}

QString successDetails(const QString &archive, qint64 size, const QStringList &leftOutEntries,
                       const QStringList &replacements)
{
    QStringList lines {escapedText(quotedPath(archive)),
                       QStringLiteral("大小：%1").arg(QLocale().formattedDataSize(size))};
    for (const QString &replacement : replacements)
        lines << escapedText(replacement);
    if (!leftOutEntries.isEmpty()) {
        QStringList shown = leftOutEntries.mid(0, leftOutNamesShown);
        for (QString &name : shown)
            name = escapedText(name);
        QString names = shown.join(QStringLiteral("、"));
        if (leftOutEntries.size() > leftOutNamesShown)
            names += QStringLiteral("……（共%1个）").arg(leftOutEntries.size());
        lines << QStringLiteral("未列入清单、未打包：") + names;
    }
    return lines.join(QLatin1Char('\n'));
}
