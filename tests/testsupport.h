#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

class MainWindow;
class QFileDialog;
class QLineEdit;
class QListWidget;
class QPushButton;
class UpgradeItemWidget;

// A message box that the code under test opened, as the user saw it.
struct SeenMessage
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QString informativeText;
    QMessageBox::StandardButtons buttons;
    QStringList buttonTexts;
    bool hasDefaultButton;
    QWidget *parent;
};

// Answers the modal dialogs that the code under test opens: every message box
// is recorded and closed with its OK button, a question with the answer given
// for its title in answers, else questionAnswer (after onQuestion, if set,
// has looked at it); a file dialog is handed to onFileDialog (which must
// accept or reject it) or else rejected. A file dialog still open after its
// handler ran is rejected, so a test fails instead of hanging. A handler may
// wait (QTest::qWait): the watcher does not look again until it returns.
class ModalWatcher : public QObject
{
public:
    explicit ModalWatcher(QObject *parent = nullptr);
    QList<SeenMessage> messages;
    QList<QString> fileDialogCaptions;
    std::function<void(QFileDialog *)> onFileDialog;
    QMessageBox::StandardButton questionAnswer = QMessageBox::No;
    QMap<QString, QMessageBox::StandardButton> answers;
    std::function<void(QMessageBox *)> onQuestion;
    // Looks at every box first; a box it closes is not answered again.
    std::function<void(QMessageBox *)> onMessage;
    // The titles of the boxes seen, in order.
    QStringList titles() const;
    // Waits until at least count message boxes have been seen.
    bool waitForMessages(int count, int timeoutMs = 60000);

private:
    void poll();
    void handle();
    QTimer timer;
    QList<QPointer<QFileDialog>> handledDialogs;
    bool handling = false;
};

// A temporary folder that is also the working directory while it lives.
// QSettings (the window's memory, Qt's file dialog) meanwhile reads and
// writes in another temporary folder of its own, so every test starts with
// nothing remembered, and what a window remembers stays for the next window
// of the same test. (Every test program keeps its settings in a temporary
// folder anyway: no test touches the user's.)
class TestFolder
{
public:
    TestFolder();
    ~TestFolder();
    QString path(const QString &relative = QString()) const;
    // Writes a file (creating folders on the way) and returns its absolute path.
    QString write(const QString &relative, const QByteArray &content) const;
    // Where this test's settings are kept.
    QString settingsPath() const { return settings.path(); }

private:
    QTemporaryDir dir;
    QTemporaryDir settings;
    QString previous;
};

// Points QSettings at folder for the user's settings, and also for the
// system-wide ones that it would otherwise read from /etc/xdg.
void useSettingsFolder(const QString &folder);

// Chooses a file or folder in a Qt file dialog as a user would: types its
// name into the dialog's name field and accepts.
void chooseInFileDialog(QFileDialog *dialog, const QString &path);

// Reaches the window's widgets as a user would see them.
class WindowDriver
{
public:
    explicit WindowDriver(MainWindow *window);
    QLineEdit *pathEdit() const;
    QLineEdit *nameEdit() const;
    QPushButton *startButton() const;
    QPushButton *chooseFolderButton() const;
    QListWidget *list() const;
    QPushButton *addButton() const;
    QPushButton *lookInsideButton() const;
    int itemRowCount() const;
    UpgradeItemWidget *row(int index) const;
    // Replaces the item rows with one row per (type index, path).
    void setRows(const QList<QPair<int, QString>> &rows);
    void setRow(int index, int typeIndex, const QString &path);

private:
    MainWindow *window;
};

// One entry of an archive that a test builds: kind 'f' deflated file, 's'
// stored file, 'd' folder, 'l' symbolic link whose data is the link target.
struct Entry
{
    char kind;
    QString name;
    QByteArray data;
};
using Entries = QList<Entry>;
Q_DECLARE_METATYPE(Entries)

// Writes an archive with python3's zipfile, which lets a test build layouts
// that this project's own writer never makes (links, "..", absolute names).
void writeZip(const QString &path, const Entries &entries);

// Writes one of the hand-made hostile archives of tests/hostile_zip.py.
void writeHostileZip(const QString &path, const QString &caseName);

// The text with every path in 「」 written as messages show it: with "\"
// on Windows, unchanged elsewhere.
QString withSystemPaths(QString text);

// Makes a FIFO at path; false where the system has none (Windows).
bool makeFifo(const QString &path);

// Skips the rest of a test that needs Linux programs (python3, the ZIP
// readers, readelf, bash): under Wine a Windows test cannot run them, and
// tests/windows/run.sh reads the Windows programs' packages with them instead.
#ifdef Q_OS_WIN
#define SKIP_WITHOUT_LINUX_PROGRAMS()                                                              \
    QSKIP("needs Linux programs, which tests/windows/run.sh uses on the Windows programs' output")
#else
#define SKIP_WITHOUT_LINUX_PROGRAMS()                                                              \
    do {                                                                                           \
    } while (false)
#endif

// Bytes that deflate cannot shrink, the same for the same seed.
QByteArray randomBytes(int size, quint32 seed);

// A file's content, or a null array when it cannot be read.
QByteArray readFile(const QString &path);

// True when a file, folder or link (even a dangling one) stands at path.
bool standsAt(const QString &path);

// Every file, folder and link below folder, relative and sorted; links are
// listed but not followed.
QStringList filesBelow(const QString &folder);

struct ArchiveEntry
{
    QString name;
    int method;
    QByteArray data;
};

// Every entry of a ZIP archive in the order of its central directory; an
// empty list when it cannot be read.
QList<ArchiveEntry> readZip(const QString &path);
QStringList zipEntryNames(const QString &path);

// Runs a program and returns its exit code (-1 when it could not start);
// output receives what it printed on stdout and stderr.
int runProgram(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
               int timeoutMs = 600000);

#endif // TESTSUPPORT_H
