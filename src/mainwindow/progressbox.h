#ifndef PROGRESSBOX_H
#define PROGRESSBOX_H

#include <QObject>
#include <QString>

class QProgressDialog;
class QWidget;

// The window's progress box for a run on the worker thread (a packaging run,
// or the reading of a package to look inside it): a frameless dialog kept
// centred on the window, whose value only grows and stops short of its
// maximum, which would reset it. Its cancel button, Escape and closing it
// only ask: the window decides whether to cancel, and the box stays until the
// worker has stopped.
class ProgressBox : public QObject
{
    Q_OBJECT

public:
    explicit ProgressBox(QWidget *window);

    // For the questions asked on top of it.
    QProgressDialog *dialog() const { return box; }

    // What the box says, and what its cancel button's tip says cancelling
    // leaves.
    void setTexts(const QString &label, const QString &cancelTip);
    // Shows the box at 0 for a run.
    void start(const QString &label, const QString &cancelTip);
    void setLabel(const QString &label);
    // Moves the bar on to percent (of 0 to 99); it never goes back.
    void advance(int percent);
    // The run is over: Escape and closing no longer ask. complete() keeps the
    // box on screen with a full bar a moment longer; stop() hides it.
    void complete();
    void stop();
    void close();

signals:
    // The cancel button, Escape or closing the box, while a run lasts.
    void cancelAsked();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void centre();

    QWidget *window;
    QProgressDialog *box;
    bool running = false;
};

#endif // PROGRESSBOX_H
