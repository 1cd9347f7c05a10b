#include "testsupport.h"

#include "mainwindow.h"
#include "upgradeitemwidget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTest>

#include <zip.h>

#ifdef Q_OS_WIN
#include <algorithm>
#include <zlib.h>
#else
#include <sys/stat.h>
#endif

namespace {

// Set while the program loads, before any QSettings or QStandardPaths call
// reads where the configuration lives: settings written by a test, or by
// Qt's own file dialog, land in a folder of this program's, which goes at
// its end. The names are the program's own.
struct PrivateConfigFolder
{
    PrivateConfigFolder()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
        QCoreApplication::setOrganizationName(QStringLiteral("upgrade-package-tool"));
        QCoreApplication::setApplicationName(QStringLiteral("upgrade-package-tool"));
    }
    QTemporaryDir dir;
};

PrivateConfigFolder &privateConfigFolder()
{
    static PrivateConfigFolder folder;
    return folder;
}

[[maybe_unused]] const bool configFolderSet = !privateConfigFolder().dir.path().isEmpty();

} // namespace

void useSettingsFolder(const QString &folder)
{
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, folder);
        QSettings::setPath(format, QSettings::SystemScope, folder + QStringLiteral("/system"));
    }
}

ModalWatcher::ModalWatcher(QObject *parent)
    : QObject(parent)
{
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
    timer.start();
}

QStringList ModalWatcher::titles() const
{
    QStringList seen;
    for (const SeenMessage &m : messages)
        seen << m.title;
    return seen;
}

void ModalWatcher::poll()
{
    if (handling)
        return;
    handling = true;
    handle();
    handling = false;
}

void ModalWatcher::handle()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        if (!box->isVisible())
            return;
        QStringList buttonTexts;
        for (QAbstractButton *button : box->buttons())
            buttonTexts << button->text();
        messages.append({box->icon(), box->windowTitle(), box->text(), box->informativeText(),
                         box->standardButtons(), buttonTexts, box->defaultButton() != nullptr,
                         box->parentWidget()});
        if (onMessage) {
            onMessage(box);
            if (!box->isVisible())
                return;
        }
        if (box->icon() == QMessageBox::Question) {
            if (onQuestion)
                onQuestion(box);
            box->button(answers.value(box->windowTitle(), questionAnswer))->click();
        } else if (box->button(QMessageBox::Ok)) {
            box->button(QMessageBox::Ok)->click();
        } else {
            box->reject();
        }
    } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        if (!dialog->isVisible())
            return;
        if (handledDialogs.contains(dialog)) {
            qWarning("a file dialog stayed open after its handler ran");
            dialog->reject();
            return;
        }
        handledDialogs.append(dialog);
        fileDialogCaptions.append(dialog->windowTitle());
        if (onFileDialog)
            onFileDialog(dialog);
        else
            dialog->reject();
    }
}

bool ModalWatcher::waitForMessages(int count, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (messages.size() < count && elapsed.elapsed() < timeoutMs)
        QTest::qWait(10);
    return messages.size() >= count;
}

void chooseInFileDialog(QFileDialog *dialog, const QString &path)
{
    // selectFile() leaves the name field alone while it has focus, which
    // depends on window activation timing; set the field itself.
    const QFileInfo info(path);
    dialog->setDirectory(info.absolutePath());
    auto *nameField = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    if (nameField)
        nameField->setText(info.fileName());
    QMetaObject::invokeMethod(dialog, "accept");
}

TestFolder::TestFolder()
    : previous(QDir::currentPath())
{
    QDir::setCurrent(dir.path());
    useSettingsFolder(settings.path());
}

TestFolder::~TestFolder()
{
    QDir::setCurrent(previous);
    useSettingsFolder(privateConfigFolder().dir.path());
}

QString TestFolder::path(const QString &relative) const
{
    return relative.isEmpty() ? dir.path() : dir.filePath(relative);
}

QString TestFolder::write(const QString &relative, const QByteArray &content) const
{
    const QString file = dir.filePath(relative);
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
        qFatal("cannot write test file %s", qPrintable(file));
    return file;
}

WindowDriver::WindowDriver(MainWindow *window)
    : window(window)
{
}

static QWidget *central(MainWindow *window)
{
    return window->findChild<QWidget *>(QStringLiteral("centralwidget"));
}

QLineEdit *WindowDriver::pathEdit() const
{
    return central(window)->findChild<QLineEdit *>(QStringLiteral("lineEditPath"),
                                                   Qt::FindDirectChildrenOnly);
}

QLineEdit *WindowDriver::nameEdit() const
{
    return central(window)->findChild<QLineEdit *>(QStringLiteral("lineEditName"),
                                                   Qt::FindDirectChildrenOnly);
}

QPushButton *WindowDriver::startButton() const
{
    return central(window)->findChild<QPushButton *>(QStringLiteral("btnStartPackaging"),
                                                     Qt::FindDirectChildrenOnly);
}

QPushButton *WindowDriver::chooseFolderButton() const
{
    return central(window)->findChild<QPushButton *>(QStringLiteral("btnChoosefolder"),
                                                     Qt::FindDirectChildrenOnly);
}

QListWidget *WindowDriver::list() const
{
    return central(window)->findChild<QListWidget *>(QStringLiteral("listWgtUpgrade"),
                                                     Qt::FindDirectChildrenOnly);
}

// The buttons of the list's last row.
static QPushButton *addRowButton(QListWidget *list, const char *name)
{
    QWidget *container = list->itemWidget(list->item(list->count() - 1));
    return container ? container->findChild<QPushButton *>(QLatin1String(name)) : nullptr;
}

QPushButton *WindowDriver::addButton() const
{
    return addRowButton(list(), "btnAddItem");
}

QPushButton *WindowDriver::lookInsideButton() const
{
    return addRowButton(list(), "btnLookInside");
}

int WindowDriver::itemRowCount() const
{
    return list()->count() - 1;
}

UpgradeItemWidget *WindowDriver::row(int index) const
{
    return qobject_cast<UpgradeItemWidget *>(list()->itemWidget(list()->item(index)));
}

void WindowDriver::setRow(int index, int typeIndex, const QString &path)
{
    UpgradeItemWidget *item = row(index);
    item->findChild<QComboBox *>(QStringLiteral("cmbType"))->setCurrentIndex(typeIndex);
    item->findChild<QLineEdit *>(QStringLiteral("lineEditPath"))->setText(path);
}

void WindowDriver::setRows(const QList<QPair<int, QString>> &rows)
{
    while (itemRowCount() > 0) {
        row(0)->findChild<QPushButton *>(QStringLiteral("btnRemove"))->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    for (int i = 0; i < rows.size(); ++i) {
        addButton()->click();
        setRow(i, rows.at(i).first, rows.at(i).second);
    }
}

QList<ArchiveEntry> readZip(const QString &path)
{
    QList<ArchiveEntry> entries;
    int error = 0;
    zip_t *zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!zip)
        return entries;
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
        zip_stat_t st;
        zip_file_t *file = zip_fopen_index(zip, zip_uint64_t(i), 0);
        if (!file || zip_stat_index(zip, zip_uint64_t(i), 0, &st) != 0) {
            zip_discard(zip);
            return {};
        }
        QByteArray data;
        char buffer[1 << 16];
        zip_int64_t got = 0;
        while ((got = zip_fread(file, buffer, sizeof(buffer))) > 0)
            data.append(buffer, int(got));
        zip_fclose(file);
        if (got < 0) {
            zip_discard(zip);
            return {};
        }
        entries.append({QString::fromUtf8(st.name), int(st.comp_method), data});
    }
    zip_discard(zip);
    return entries;
}

QStringList zipEntryNames(const QString &path)
{
    QStringList names;
    for (const ArchiveEntry &entry : readZip(path))
        names.append(entry.name);
    return names;
}

int runProgram(const QString &program, const QStringList &arguments, QByteArray *output,
               int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted() || !process.waitForFinished(timeoutMs))
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

#ifndef Q_OS_WIN
static const char zipScript[] = R"(
import json, sys, warnings, zipfile
warnings.simplefilter('ignore')
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    for kind, name, data in json.load(open(sys.argv[2], encoding='utf-8')):
        i = zipfile.ZipInfo(name, (2024, 5, 6, 7, 8, 10))
        i.create_system = 3
        i.external_attr = {'l': 0o120777, 'd': 0o40755}.get(kind, 0o100644) << 16
        if kind == 'd':
            i.external_attr |= 0x10
        i.compress_type = zipfile.ZIP_DEFLATED if kind == 'f' else zipfile.ZIP_STORED
        z.writestr(i, data)
)";

void writeZip(const QString &path, const Entries &entries)
{
    QJsonArray list;
    for (const Entry &e : entries)
        list.append(QJsonArray {QString(QChar(e.kind)), e.name, QString::fromUtf8(e.data)});
    // The entries go through a file: a large one would not fit on a command line.
    QFile entryList(path + ".entries");
    if (!entryList.open(QIODevice::WriteOnly) || entryList.write(QJsonDocument(list).toJson()) < 0)
        qFatal("cannot write %s", qPrintable(entryList.fileName()));
    entryList.close();
    QByteArray output;
    const int exitCode
        = runProgram("python3", {"-c", zipScript, path, entryList.fileName()}, &output);
    entryList.remove();
    if (exitCode != 0)
        qFatal("python3 could not write %s: %s", qPrintable(path), output.constData());
}

void writeHostileZip(const QString &path, const QString &caseName)
{
    QByteArray output;
    const QString script = QStringLiteral(PROJECT_SOURCE_DIR "/tests/hostile_zip.py");
    if (runProgram("python3", {script, caseName, path}, &output) != 0)
        qFatal("hostile_zip.py could not write %s: %s", qPrintable(caseName), output.constData());
}

bool makeFifo(const QString &path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
}

#else
// Windows has no python3: the same archive as python's zipfile.writestr()
// writes it, made here byte by byte (libzip would refuse a repeated name):
// date 2024-05-06 07:08:10, "made by" Unix, the kind's permission bits, files
// deflated and the rest stored, the UTF-8 flag on names that are not ASCII.
void writeZip(const QString &path, const Entries &entries)
{
    const auto le = [](QByteArray &to, quint64 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            to.append(char(value >> (8 * i)));
    };
    const quint16 dosTime = 7 << 11 | 8 << 5 | 10 / 2;
    const quint16 dosDate = (2024 - 1980) << 9 | 5 << 5 | 6;
    QByteArray archive, directory;
    for (const Entry &e : entries) {
        const QByteArray name = e.name.toUtf8();
        const bool deflated = e.kind == 'f';
        QByteArray stored = e.data;
        if (deflated) {
            z_stream z {};
            deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
            stored.resize(int(deflateBound(&z, uLong(e.data.size()))));
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(e.data.constData()));
            z.avail_in = uInt(e.data.size());
            z.next_out = reinterpret_cast<Bytef *>(stored.data());
            z.avail_out = uInt(stored.size());
            deflate(&z, Z_FINISH);
            stored.resize(int(z.total_out));
            deflateEnd(&z);
        }
        const quint32 crc = quint32(
            crc32(0, reinterpret_cast<const Bytef *>(e.data.constData()), uInt(e.data.size())));
        const quint32 mode = e.kind == 'l' ? 0120777 : e.kind == 'd' ? 040755 : 0100644;
        const bool ascii
            = std::all_of(name.begin(), name.end(), [](char c) { return uchar(c) < 0x80; });
        const quint64 offset = quint64(archive.size());
        QByteArray common; // version needed .. name length
        le(common, 20, 2);
        le(common, ascii ? 0 : 0x800, 2);
        le(common, deflated ? 8 : 0, 2);
        le(common, dosTime, 2);
        le(common, dosDate, 2);
        le(common, crc, 4);
        le(common, quint64(stored.size()), 4);
        le(common, quint64(e.data.size()), 4);
        le(common, quint64(name.size()), 2);
        archive += QByteArray("PK\x03\x04", 4) + common;
        le(archive, 0, 2); // extra field
        archive += name + stored;
        directory += QByteArray("PK\x01\x02", 4);
        le(directory, 3 << 8 | 20, 2); // made by Unix
        directory += common;
        le(directory, 0, 2); // extra field
        le(directory, 0, 2); // comment
        le(directory, 0, 2); // disk
        le(directory, 0, 2); // internal attributes
        le(directory, quint64(mode) << 16 | (e.kind == 'd' ? 0x10 : 0), 4);
        le(directory, offset, 4);
        directory += name;
    }
    QByteArray end("PK\x05\x06", 4);
    le(end, 0, 4); // disks
    le(end, quint64(entries.size()), 2);
    le(end, quint64(entries.size()), 2);
    le(end, quint64(directory.size()), 4);
    le(end, quint64(archive.size()), 4);
    le(end, 0, 2); // comment
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(archive + directory + end) < 0)
        qFatal("cannot write %s", qPrintable(path));
}

// The hand-made archives come from tests/hostile_zip.py, which
// tests/windows/run.sh runs on Linux beforehand into UPKG_HOSTILE_ZIPS.
void writeHostileZip(const QString &path, const QString &caseName)
{
    QString file = caseName;
    file.replace(QLatin1Char(' '), QLatin1Char('_')).replace(QLatin1Char('-'), QLatin1Char('_'));
    const QString made = qEnvironmentVariable("UPKG_HOSTILE_ZIPS") + QLatin1Char('/') + file
        + QStringLiteral(".zip");
    QFile::remove(path);
    if (!QFile::copy(made, path))
        qFatal("no hand-made archive %s (UPKG_HOSTILE_ZIPS)", qPrintable(made));
}

bool makeFifo(const QString &)
{
    return false;
}
#endif

QString withSystemPaths(QString text)
{
#ifdef Q_OS_WIN
    for (int open = text.indexOf(QStringLiteral("「")); open >= 0;
         open = text.indexOf(QStringLiteral("「"), open + 1)) {
        const int close = text.indexOf(QStringLiteral("」"), open);
        for (int i = open; i < close; ++i) {
            if (text.at(i) == QLatin1Char('/'))
                text[i] = QLatin1Char('\\');
        }
    }
#endif
    return text;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool standsAt(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(folder).relativeFilePath(it.next()));
    files.sort();
    return files;
}
