#include "windowsession.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLineEdit>
#include <QTest>

#include <algorithm>

QStringList snapshot(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            lines << name + " -> " + info.symLinkTarget();
        else if (info.isDir())
            lines << name + "/";
        else
            lines << name + " "
                    + QCryptographicHash::hash(readFile(info.filePath()), QCryptographicHash::Sha1)
                          .toHex();
    }
    lines.sort();
    return lines;
}

QStringList regularFilesBelow(const QString &root)
{
    QStringList files = filesBelow(root);
    files.erase(std::remove_if(
                    files.begin(), files.end(),
                    [&](const QString &f) { return !QFileInfo(QDir(root).filePath(f)).isFile(); }),
                files.end());
    return files;
}

QString describe(const SeenMessage &m, const QWidget *window)
{
    return QStringList {QStringLiteral("icon %1").arg(int(m.icon)),
                        m.title,
                        m.text,
                        m.informativeText,
                        QStringLiteral("buttons 0x%1").arg(int(m.buttons), 0, 16),
                        m.parent == window ? "parent window" : "other parent"}
        .join(QStringLiteral(" | "));
}

QString box(QMessageBox::Icon icon, const QString &title, const QString &text, const QString &cause,
            const QWidget *window)
{
    return describe(
        {icon, title, text, cause, QMessageBox::Ok, {}, false, const_cast<QWidget *>(window)},
        window);
}

ShowRecorder::ShowRecorder(QProgressDialog *progress)
    : progress(progress)
{
    qApp->installEventFilter(this);
}

bool ShowRecorder::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && !event->spontaneous()) {
        if (watched == progress)
            ++progressShown;
        else if (qobject_cast<QMessageBox *>(watched))
            progressVisibleAtBox << progress->isVisible();
    }
    return false;
}

WindowSession::WindowSession()
{
    window.show();
    // Focus goes where a test expects only in the active window.
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        qWarning("the window did not become active");
    driver.pathEdit()->setText(QStringLiteral("out"));
    driver.nameEdit()->setText(QStringLiteral("pkg"));
}

Gate::Gate(QThread *thread)
{
    QObject::connect(
        thread, &QThread::started, thread,
        [semaphore = semaphore, startCount = startCount] {
            startCount->ref();
            semaphore->acquire();
        },
        Qt::DirectConnection);
}
