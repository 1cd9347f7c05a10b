// The files layer on Windows, called directly: which paths are opened and
// which are refused without being waited on, reads at an offset from several
// threads, changes seen by size, times and file index, and the archive's
// hidden file: gone unless committed, put in place only with consent, never
// over a file another program holds, and swept when a killed run left it.
#include "archivefile.h"
#include "inputfile.h"
#include "system.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

#include <windows.h>

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

QStringList namesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// Holds a file open as another program would: reading, not letting it be
// deleted or replaced.
HANDLE holdOpen(const QString &path)
{
    return ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                         GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

class WindowsFilesTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void openedOrRefused_data();
    void openedOrRefused();
    void readsAtOffsetsFromManyThreads();
    void changesAreSeen_data();
    void changesAreSeen();
    void archivePutInPlace_data();
    void archivePutInPlace();
    void leftoversAreSwept();
    void localTimeFollowsWindows();

private:
    QTemporaryDir dir;
    QString root;
};

void WindowsFilesTest::init()
{
    root = dir.path() + QStringLiteral("/张三 的 桌面");
    QDir().mkpath(root);
}

void WindowsFilesTest::openedOrRefused_data()
{
    QTest::addColumn<QString>("path"); // "@" stands for the test's folder
    QTest::addColumn<int>("kind"); // -1: refused, whichever way

    QTest::newRow("Chinese name, backslashes") << "@\\控制器 v5.zip" << int(FileError::None);
    QTest::newRow("forward slashes") << "@/控制器 v5.zip" << int(FileError::None);
    QTest::newRow("dot and dot-dot") << "@/./sub/../控制器 v5.zip" << int(FileError::None);
    QTest::newRow("over 260 characters")
        << "@/" + QString(120, QChar(0x6587)) + "/" + QString(150, QLatin1Char('n')) + ".zip"
        << int(FileError::None);
    QTest::newRow("a folder") << "@" << int(FileError::NotRegularFile);
    QTest::newRow("missing") << "@/none.zip" << int(FileError::NotFound);
    QTest::newRow("missing folder") << "@/none/x.zip" << int(FileError::NotFound);
    // Device names: devices on older Windows, plain names (that no file has)
    // since Windows 11.
    QTest::newRow("NUL") << "NUL" << -1;
    QTest::newRow("CON in a folder") << "@/CON" << -1;
    QTest::newRow("COM1 with an extension") << "@/COM1.zip" << -1;
    QTest::newRow("a local pipe") << "\\\\.\\pipe\\upkg-test" << int(FileError::NotRegularFile);
    QTest::newRow("another machine's pipe")
        << "\\\\server\\pipe\\upkg-test" << int(FileError::NotRegularFile);
}

void WindowsFilesTest::openedOrRefused()
{
    QFETCH(QString, path);
    QFETCH(int, kind);
    path.replace(QLatin1Char('@'), root);
    if (kind == FileError::None)
        writeFile(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')), pattern(1000));
    // A pipe that waits for a client: opening it would take an instance.
    const HANDLE pipe = ::CreateNamedPipeW(L"\\\\.\\pipe\\upkg-test", PIPE_ACCESS_INBOUND,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
    QElapsedTimer took;
    took.start();
    FileError error;
    const std::unique_ptr<InputFile> file = InputFile::open(path, &error);
    QVERIFY2(took.elapsed() < 2000, "waited on what it opened");
    ::CloseHandle(pipe);
    if (kind >= 0)
        QCOMPARE(int(error.kind), kind);
    else
        QVERIFY(error.failed());
    QCOMPARE(bool(file), kind == FileError::None);
    if (file) {
        QCOMPARE(file->size(), quint64(1000));
        QByteArray read(10, '\0');
        QVERIFY(file->readAt(990, read.data(), 10));
        QCOMPARE(read, pattern(1000).right(10));
        QVERIFY(!file->readAt(995, read.data(), 10)); // past the end it had
        QVERIFY(file->unchanged());
        QCOMPARE(lookAt(path).kind, FileError::None);
    }
}

void WindowsFilesTest::readsAtOffsetsFromManyThreads()
{
    const QByteArray bytes = pattern(4 << 20);
    writeFile(root + "/big.bin", bytes);
    FileError error;
    const std::unique_ptr<InputFile> file = InputFile::open(root + "/big.bin", &error);
    QVERIFY(file);
    std::vector<std::thread> readers;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            QByteArray piece(65536, '\0');
            for (int round = 0; round < 64; ++round) {
                const int at = ((round * 4 + t) * 65536) % (bytes.size() - 65536);
                if (!file->readAt(quint64(at), piece.data(), 65536)
                    || piece != bytes.mid(at, 65536))
                    ++wrong[size_t(t)];
            }
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    QCOMPARE(wrong, std::vector<int>(4, 0));
}

void WindowsFilesTest::changesAreSeen_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("nothing") << "nothing";
    QTest::newRow("grown") << "grown";
    QTest::newRow("rewritten, time put back") << "rewritten";
    QTest::newRow("replaced by another file") << "replaced";
}

void WindowsFilesTest::changesAreSeen()
{
    QFETCH(QString, change);
    const QString path = root + "/item.zip";
    writeFile(path, pattern(5000));
    FileError error;
    const std::unique_ptr<InputFile> file = InputFile::open(path, &error);
    QVERIFY(file);
    const QDateTime written = QFileInfo(path).lastModified();
    QTest::qWait(20); // a later time than the file's
    QFile other(path);
    if (change == "grown") {
        QVERIFY(other.open(QIODevice::Append) && other.write("more") == 4);
    } else if (change == "rewritten") {
        QVERIFY(other.open(QIODevice::ReadWrite) && other.write("XXXX") == 4);
        QVERIFY(other.setFileTime(written, QFileDevice::FileModificationTime));
    } else if (change == "replaced") {
        // Moved aside and another file put at its path, as a copy tool may.
        writeFile(root + "/new.zip", pattern(5000));
        QVERIFY(QFile::rename(path, root + "/old.zip"));
        QVERIFY(QFile::rename(root + "/new.zip", path));
        QVERIFY(FileIdentity::at(path).stamp.index != file->stamp().index);
    }
    other.close();
    // Any of them is seen (a move sets the change time, as on Linux).
    QCOMPARE(file->unchanged(), change == "nothing");
}

void WindowsFilesTest::archivePutInPlace_data()
{
    QTest::addColumn<QString>("earlier"); // none, agreed, other, held
    QTest::addColumn<int>("kind");
    QTest::newRow("no earlier archive") << "none" << int(FileError::None);
    QTest::newRow("earlier archive, agreed") << "agreed" << int(FileError::None);
    QTest::newRow("earlier archive, not agreed") << "other" << int(FileError::Exists);
    QTest::newRow("earlier archive held open") << "held" << int(FileError::InUse);
}

void WindowsFilesTest::archivePutInPlace()
{
    QFETCH(QString, earlier);
    QFETCH(int, kind);
    const QString folder = root + "/输出";
    const QString path = folder + "/组合包.zip";
    QDir().mkpath(folder);
    const QByteArray old = "the package of last week";
    if (earlier != "none")
        writeFile(path, old);
    const FileIdentity replaceable = earlier == "other" ? FileIdentity() : FileIdentity::at(path);
    const HANDLE held = earlier == "held" ? holdOpen(path) : INVALID_HANDLE_VALUE;
    const QByteArray content = pattern(300000);
    {
        ArchiveFile archive(path);
        QCOMPARE(archive.create().kind, FileError::None);
        // Hidden while it is written, and nothing at the archive's name.
        const QStringList during = namesIn(folder);
        QCOMPARE(during.size(), earlier == "none" ? 1 : 2);
        QVERIFY(during.filter(QRegularExpression("^\\.upkg-[a-z0-9]{6}\\.tmp$")).size() == 1);
        QVERIFY(archive.write(content.constData(), quint64(content.size())));
        QByteArray back(100, '\0');
        QVERIFY(archive.flush() && archive.readAt(1000, back.data(), 100));
        QCOMPARE(back, content.mid(1000, 100));
        QCOMPARE(int(archive.commit(replaceable).kind), kind);
    }
    if (held != INVALID_HANDLE_VALUE)
        ::CloseHandle(held);
    // Only the archive, new or as it was; no hidden file stays.
    QCOMPARE(namesIn(folder), QStringList {"组合包.zip"});
    QFile result(path);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll() == content, kind == FileError::None);
    const DWORD attributes = ::GetFileAttributesW(
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()));
    QVERIFY(!(attributes & FILE_ATTRIBUTE_HIDDEN));
}

void WindowsFilesTest::leftoversAreSwept()
{
    const QString folder = root + "/swept";
    writeFile(folder + "/.upkg-abc123.tmp", "left by a killed run");
    writeFile(folder + "/.upkg-def456.tmp", "a run still writing");
    writeFile(folder + "/.upkg-notes.tmp", "the user's own");
    writeFile(folder + "/notes.txt", "the user's own");
    const HANDLE held = holdOpen(folder + "/.upkg-def456.tmp");
    {
        ArchiveFile archive(folder + "/pkg.zip");
        QCOMPARE(archive.create().kind, FileError::None);
    }
    ::CloseHandle(held);
    QCOMPARE(namesIn(folder), QStringList({".upkg-def456.tmp", ".upkg-notes.tmp", "notes.txt"}));
}

// Local time as Windows' time zone has it, winter and summer (the C
// library's localtime would follow a TZ variable of its own format instead).
void WindowsFilesTest::localTimeFollowsWindows()
{
    TIME_ZONE_INFORMATION zone;
    ::GetTimeZoneInformation(&zone);
    const bool summerTime = zone.DaylightDate.wMonth != 0;
    // 2024-01-15 12:00 and 2024-07-15 12:00 UTC
    for (const qint64 seconds : {1705320000LL, 1721044800LL}) {
        const bool july = seconds == 1721044800LL;
        const LONG bias = zone.Bias + (july && summerTime ? zone.DaylightBias : zone.StandardBias);
        const QDateTime expected
            = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).addSecs(-60 * bias);
        struct tm local;
        QVERIFY(localTimeOf(seconds, &local));
        QCOMPARE(QDateTime(QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
                           QTime(local.tm_hour, local.tm_min, local.tm_sec), Qt::UTC),
                 expected);
    }
}

QTEST_GUILESS_MAIN(WindowsFilesTest)
#include "tst_windowsfiles.moc"
