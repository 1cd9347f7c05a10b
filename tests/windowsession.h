#ifndef WINDOWSESSION_H
#define WINDOWSESSION_H

// What the tests of whole runs through the window share: a shown window with
// its driver and a watcher answering its boxes, a gate that holds the worker
// thread, and ways to say what a run left behind and what a box looked like.
#include "mainwindow.h"
#include "testsupport.h"

#include <QAtomicInt>
#include <QProgressDialog>
#include <QPushButton>
#include <QSemaphore>
#include <QThread>

#include <memory>

// Every file, folder and link below root with a digest of its content, to
// show that a refused request wrote nothing and removed nothing.
QStringList snapshot(const QString &root);

// The files below root, without the folders on the way to them.
QStringList regularFilesBelow(const QString &root);

// A seen box in one line: icon, title, text, cause, buttons, and whether the
// window was its parent.
QString describe(const SeenMessage &m, const QWidget *window);

// A box as every message of the window must look: one OK button and the window
// as parent. Whether the call named a default button cannot be seen: with none
// named, QMessageBox makes its first accepting button, OK, the default anyway.
QString box(QMessageBox::Icon icon, const QString &title, const QString &text, const QString &cause,
            const QWidget *window);

// Notes every appearance of the progress dialog, and whether it was still on
// screen when a message box came up.
class ShowRecorder : public QObject
{
public:
    explicit ShowRecorder(QProgressDialog *progress);
    int progressShown = 0;
    QList<bool> progressVisibleAtBox;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QProgressDialog *progress;
};

// One shown window, the output folder "out" and the name "pkg" filled in,
// with everything a test looks at.
struct WindowSession
{
    WindowSession();
    QProgressDialog *progress() const { return window.findChild<QProgressDialog *>(); }
    QThread *thread() const { return window.findChild<QThread *>(); }
    void start() { driver.startButton()->click(); }

    MainWindow window;
    WindowDriver driver {&window};
    ModalWatcher watcher;
    ShowRecorder shows {progress()};
};

// Holds a worker thread in its start-up, before its event loop runs, until
// opened. Declared after the window, it opens for good before the window
// waits for the thread, so a failing test cannot leave the thread stuck; the
// thread's side shares the semaphore and so never outlives it.
class Gate
{
public:
    explicit Gate(QThread *thread);
    ~Gate() { semaphore->release(1000); }
    void open(int times = 1) { semaphore->release(times); }
    int starts() const { return startCount->loadAcquire(); }

private:
    std::shared_ptr<QSemaphore> semaphore = std::make_shared<QSemaphore>();
    std::shared_ptr<QAtomicInt> startCount = std::make_shared<QAtomicInt>();
};

#endif // WINDOWSESSION_H
