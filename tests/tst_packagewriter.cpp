// Writing a package from the core, without the window: what each entry
// carries, raw copies from a combined package, and every way a write can fail
// with the earlier archive kept and nothing else left behind.
#include "archivefile.h"
#include "combinedpackage.h"
#include "packagemanifest.h"
#include "packagewriter.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <atomic>
#ifndef Q_OS_WIN
#include <sys/file.h>
#include <sys/stat.h>
#endif
#include <thread>
#include <zip.h>

class PackageWriterTest : public QObject
{
    Q_OBJECT

private slots:
    void entriesCarryNameTimePermissionsAndContent();
    void combinedEntriesAreCopiedAsStored();
    void failuresKeepTheEarlierArchive_data();
    void failuresKeepTheEarlierArchive();
    void fileChangingWhileReadFailsTheRun_data();
    void fileChangingWhileReadFailsTheRun();
    void leftoversOfKilledRunsAreSwept();
    void withoutNamelessFiles_data();
    void withoutNamelessFiles();
    void sameItemsGiveTheSameBytes();
    void cancelMidBlockKeepsTheEarlierArchive_data();
    void cancelMidBlockKeepsTheEarlierArchive();
};

namespace {

// The raw (compressed) bytes and the external attributes of an entry.
struct RawEntry
{
    QByteArray compressed;
    quint32 attributes = 0;
    quint8 system = 0;
    time_t modified = 0;
};

RawEntry rawEntry(const QString &archive, const QString &name)
{
    RawEntry raw;
    int error = 0;
    zip_t *zip = zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &error);
    const zip_int64_t index = zip ? zip_name_locate(zip, name.toUtf8().constData(), 0) : -1;
    if (index >= 0) {
        zip_stat_t st;
        zip_stat_index(zip, zip_uint64_t(index), 0, &st);
        raw.modified = st.mtime;
        zip_file_get_external_attributes(zip, zip_uint64_t(index), 0, &raw.system, &raw.attributes);
        zip_file_t *file = zip_fopen_index(zip, zip_uint64_t(index), ZIP_FL_COMPRESSED);
        char buffer[4096];
        zip_int64_t got;
        while (file && (got = zip_fread(file, buffer, sizeof(buffer))) > 0)
            raw.compressed.append(buffer, int(got));
        if (file)
            zip_fclose(file);
    }
    if (zip)
        zip_discard(zip);
    return raw;
}

// A package written by another tool, screened as the window screens it.
CombinedPackage screened(const QString &path)
{
    const PackageScreening screening = screenCombinedPackage(path);
    if (!screening.problems.isEmpty())
        qWarning() << "unexpected screening problem"
                   << packageMessage(screening.problems.first()).cause;
    return screening.package;
}

} // namespace

void PackageWriterTest::entriesCarryNameTimePermissionsAndContent()
{
    TestFolder folder;
    const QByteArray text = QByteArray("servo parameter line\n").repeated(5000);
    const QString servo = folder.write("in/servo_cfg.zip", text);
    const QString hmi = folder.write("in/hmi 界面.bin", randomBytes(200000, 7));
    const QString empty = folder.write("in/empty.bin", QByteArray());
    const QDateTime stamp = QDateTime::fromSecsSinceEpoch(1700000000);
    QFile stamped(hmi);
    QVERIFY(stamped.open(QIODevice::ReadWrite)
            && stamped.setFileTime(stamp, QFileDevice::FileModificationTime));
    stamped.close();
#ifdef Q_OS_WIN
    // Windows keeps no permission bits, only "read-only" (r--r--r--); its
    // links need rights that users lack, so the language item is a copy.
    QVERIFY(QFile::setPermissions(hmi, QFileDevice::ReadOwner | QFileDevice::ReadUser));
    folder.write("in/linked.cfg", text);
    const quint32 hmiMode = 0100444;
#else
    QVERIFY(QFile::setPermissions(hmi,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                      | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                      | QFileDevice::ExeGroup));
    QVERIFY(QFile::link(servo, folder.path("in/linked.cfg")));
    const quint32 hmiMode = 0100750;
#endif
    QVERIFY(QDir().mkpath(folder.path("out")));

    PackageItems items {{"servo", plainItem(servo)},
                        {"hmi", plainItem(hmi)},
                        {"logo", plainItem(empty)},
                        {"language", plainItem(folder.path("in/linked.cfg"))}};
    RunControl control;
    QVERIFY(!writePackage(folder.path("out/pkg.zip"), items, &control).failed());
    QCOMPARE(control.bytesDone(), control.bytesTotal());
    QCOMPARE(control.bytesTotal(), qint64(text.size() * 2 + 200000));

    const QList<ArchiveEntry> entries = readZip(folder.path("out/pkg.zip"));
    QStringList names;
    for (const ArchiveEntry &e : entries) {
        names << e.name;
        QCOMPARE(e.method, 8);
    }
    QCOMPARE(names,
             QStringList(
                 {"hmi 界面.bin", "linked.cfg", "empty.bin", "servo_cfg.zip", manifestFileName}));
    QCOMPARE(entries.at(0).data, randomBytes(200000, 7));
    QCOMPARE(entries.at(1).data, text); // a link is stored with its file's content
    QCOMPARE(entries.at(2).data, QByteArray());
    QCOMPARE(entries.at(4).data,
             QByteArray(R"({"hmi":{"name":"hmi 界面.bin"},"language":{"name":"linked.cfg"},)"
                        R"("logo":{"name":"empty.bin"},"servo":{"name":"servo_cfg.zip"}})"));
    const RawEntry hmiEntry = rawEntry(folder.path("out/pkg.zip"), "hmi 界面.bin");
    QCOMPARE(hmiEntry.system, quint8(ZIP_OPSYS_UNIX));
    QCOMPARE(hmiEntry.attributes >> 16, hmiMode);
    QCOMPARE(hmiEntry.modified, time_t(1700000000));
    QCOMPARE(rawEntry(folder.path("out/pkg.zip"), manifestFileName).attributes >> 16, 0100644u);
}

void PackageWriterTest::combinedEntriesAreCopiedAsStored()
{
    TestFolder folder;
    const QByteArray hmi = QByteArray("hmi image block\n").repeated(20000);
    writeZip(folder.path("old.zip"),
             {{'f', "hmi_v2.zip", hmi},
              {'s', "stored.par", "stored servo parameters"},
              {'f', manifestFileName,
               R"({"hmi":{"name":"hmi_v2.zip"},"servo":{"name":"stored.par"}})"}});
    const CombinedPackage package = screened(folder.path("old.zip"));
    QCOMPARE(package.items.size(), 2);
    RunControl control;
    QVERIFY(!writePackage(folder.path("new.zip"), package.items, &control).failed());

    // The deflated entry keeps its very bytes and its time; the stored one is
    // deflated like every entry of a package.
    const RawEntry before = rawEntry(folder.path("old.zip"), "hmi_v2.zip");
    const RawEntry after = rawEntry(folder.path("new.zip"), "hmi_v2.zip");
    QVERIFY(!before.compressed.isEmpty());
    QCOMPARE(after.compressed, before.compressed);
    QCOMPARE(after.modified, before.modified);
    QCOMPARE(after.attributes >> 16, 0100644u);
    const QList<ArchiveEntry> entries = readZip(folder.path("new.zip"));
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.at(0).data, hmi);
    QCOMPARE(entries.at(1).name, QStringLiteral("stored.par"));
    QCOMPARE(entries.at(1).method, 8);
    QCOMPARE(entries.at(1).data, QByteArray("stored servo parameters"));
}

void PackageWriterTest::failuresKeepTheEarlierArchive_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("path"); // what the failure names, "@" the test folder

    QTest::newRow("item is a folder")
        << "folder" << int(PackageFailure::NotRegularFile) << "@/in/x";
    QTest::newRow("item is a FIFO") << "fifo" << int(PackageFailure::NotRegularFile) << "@/in/x";
    QTest::newRow("item vanished") << "vanished" << int(PackageFailure::NotFound) << "@/in/x";
    // Root ignores permission bits, but procfs takes no new file from anyone.
    QTest::newRow("folder takes no file")
        << "unwritable" << int(PackageFailure::NoWritePermission) << "/proc/self";
    QTest::newRow("combined entry corrupt")
        << "corrupt" << int(PackageFailure::EntryCorrupt) << "@/old.zip";
    QTest::newRow("combined package replaced")
        << "replaced" << int(PackageFailure::PackageChanged) << "@/old.zip";
    QTest::newRow("cancelled") << "cancel" << int(PackageFailure::NoReason) << "";
}

void PackageWriterTest::failuresKeepTheEarlierArchive()
{
    QFETCH(QString, setup);
    QFETCH(int, reason);
    QFETCH(QString, path);
    TestFolder folder;
    path.replace('@', folder.path());
    const QByteArray earlier = "the package of last week";
    QString archive = folder.write("out/pkg.zip", earlier);
    const QString item = folder.path("in/x");
    PackageItems items {{"hmi", plainItem(folder.write("in/hmi.zip", "hmi"))},
                        {"logo", plainItem(item)}};
    RunControl control;
    if (setup == "folder") {
        QVERIFY(QDir().mkpath(item));
    } else if (setup == "fifo") {
        if (!makeFifo(item))
            QSKIP("Windows has no FIFOs");
    } else if (setup == "unwritable") {
#ifdef Q_OS_WIN
        QSKIP("a folder that takes no file is Linux's /proc here");
#endif
        folder.write("in/x", "logo");
        archive = "/proc/self/pkg.zip";
    } else if (setup == "corrupt" || setup == "replaced") {
        const QByteArray hmi = QByteArray("hmi image block\n").repeated(20000);
        writeZip(folder.path("old.zip"),
                 {{'f', "hmi_v2.zip", hmi},
                  {'f', manifestFileName, R"({"hmi":{"name":"hmi_v2.zip"}})"}});
        if (setup == "corrupt") {
            // Screening reads the manifest only: the flipped byte inside the
            // deflated data is found while the entry is copied.
            QByteArray bytes = readFile(folder.path("old.zip"));
            bytes[100] = char(bytes.at(100) ^ 0x20);
            folder.write("old.zip", bytes);
            items = screened(folder.path("old.zip")).items;
        } else {
            items = screened(folder.path("old.zip")).items;
            writeZip(folder.path("old.zip"),
                     {{'f', "hmi_v2.zip", hmi + "more"},
                      {'f', manifestFileName, R"({"hmi":{"name":"hmi_v2.zip"}})"}});
        }
    } else if (setup == "cancel") {
        folder.write("in/x", "logo");
        control.requestCancel();
    }

    const PackageFailure failure = writePackage(archive, items, &control);
    QCOMPARE(int(failure.kind),
             int(setup == "cancel" ? PackageFailure::Cancelled : PackageFailure::WriteFailed));
    QCOMPARE(int(failure.reason), reason);
    QCOMPARE(failure.path, path);
    if (!path.isEmpty())
        QVERIFY(
            packageMessage(failure).cause.endsWith("「" + QDir::toNativeSeparators(path) + "」"));
    QCOMPARE(readFile(folder.path("out/pkg.zip")), earlier);
    QCOMPARE(filesBelow(folder.path("out")), QStringList {"pkg.zip"});
}

void PackageWriterTest::fileChangingWhileReadFailsTheRun_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("appended, as by a copy in progress") << "append";
    QTest::newRow("cut short") << "truncate";
    QTest::newRow("rewritten in place") << "touch";
    QTest::newRow("rewritten in place, its time put back") << "restore";
}

void PackageWriterTest::fileChangingWhileReadFailsTheRun()
{
    QFETCH(QString, change);
    TestFolder folder;
    const QString item = folder.write("in/hmi.bin", randomBytes(48 << 20, 3));
    QVERIFY(QDir().mkpath(folder.path("out")));
    RunControl control;
    std::atomic<bool> changed {false};
    // Changes the file once the writer has read its first bytes of it.
    std::thread changer([&] {
        while (control.bytesDone() == 0 && control.bytesTotal() >= 0)
            std::this_thread::yield();
        QFile file(item);
        if (change == "append" && file.open(QIODevice::Append))
            file.write("more bytes from the copy");
        else if (change == "truncate")
            file.resize(1 << 20);
        else if (change == "restore" && file.open(QIODevice::ReadWrite)) {
            // As rsync --inplace or a copy that keeps times: same size, same
            // modification time, other bytes where the reader has not been.
#ifdef Q_OS_WIN
            const QDateTime before = QFileInfo(item).lastModified();
            file.seek(40 << 20);
            file.write("new bytes");
            file.flush();
            file.setFileTime(before, QFileDevice::FileModificationTime);
#else
            struct stat before;
            ::stat(QFile::encodeName(item).constData(), &before);
            file.seek(40 << 20);
            file.write("new bytes");
            file.flush();
            const struct timespec times[2] = {before.st_atim, before.st_mtim};
            ::futimens(file.handle(), times);
#endif
        } else if (file.open(QIODevice::ReadWrite))
            file.setFileTime(QDateTime::currentDateTime().addSecs(5),
                             QFileDevice::FileModificationTime);
        changed = true;
    });
    const PackageFailure failure
        = writePackage(folder.path("out/pkg.zip"), {{"hmi", plainItem(item)}}, &control);
    changer.join();
    QVERIFY(changed);
    QCOMPARE(int(failure.kind), int(PackageFailure::WriteFailed));
    QCOMPARE(int(failure.reason), int(PackageFailure::ModifiedWhilePacking));
    QCOMPARE(packageMessage(failure).cause,
             "文件在打包过程中被修改：「" + QDir::toNativeSeparators(item) + "」");
    QCOMPARE(filesBelow(folder.path("out")), QStringList());
}

// Where a file system holds no nameless files, a run writes under a hidden
// name; a later run removes such a file when no process holds it any more.
void PackageWriterTest::leftoversOfKilledRunsAreSwept()
{
    TestFolder folder;
    folder.write("out/.upkg-abc123.tmp", "left by a killed run");
    folder.write("out/.upkg-def456.tmp", "a run still writing");
    folder.write("out/.upkg-notes.tmp", "the user's own");
    QFile held(folder.path("out/.upkg-def456.tmp"));
#ifdef Q_OS_WIN
    // Qt opens it without letting it be deleted, as a run holds its file.
    QVERIFY(held.open(QIODevice::ReadOnly));
#else
    QVERIFY(held.open(QIODevice::ReadOnly) && ::flock(held.handle(), LOCK_EX) == 0);
#endif
    RunControl control;
    QVERIFY(!writePackage(folder.path("out/pkg.zip"),
                          {{"hmi", plainItem(folder.write("in/hmi.zip", "hmi"))}}, &control)
                 .failed());
    QCOMPARE(filesBelow(folder.path("out")),
             QStringList({".upkg-def456.tmp", ".upkg-notes.tmp", "pkg.zip"}));
}

// The hidden name's way, as on a file system without O_TMPFILE: a complete
// archive replaces the earlier one; a failed run leaves nothing of its own.
void PackageWriterTest::withoutNamelessFiles_data()
{
    QTest::addColumn<bool>("fails");
    QTest::newRow("written") << false;
    QTest::newRow("cancelled") << true;
}

void PackageWriterTest::withoutNamelessFiles()
{
    QFETCH(bool, fails);
    TestFolder folder;
    const QByteArray earlier = "the package of last week";
    folder.write("out/pkg.zip", earlier);
    QVERIFY(QFile::setPermissions(folder.path("out/pkg.zip"),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    ArchiveFile::useNamelessFiles(false);
    RunControl control;
    if (fails)
        control.requestCancel();
    WriteOptions agreed;
    agreed.replaceable = FileIdentity::at(folder.path("out/pkg.zip"));
    const PackageFailure failure
        = writePackage(folder.path("out/pkg.zip"),
                       {{"hmi", plainItem(folder.write("in/hmi.zip", "hmi"))}}, &control, agreed);
    ArchiveFile::useNamelessFiles(true);
    QCOMPARE(failure.failed(), fails);
    QCOMPARE(filesBelow(folder.path("out")), QStringList {"pkg.zip"});
    QCOMPARE(readFile(folder.path("out/pkg.zip")) == earlier, fails);
#ifndef Q_OS_WIN // no permission bits there
    // A replaced archive keeps the earlier one's permissions.
    QCOMPARE(QFile::permissions(folder.path("out/pkg.zip"))
                 & (QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
                    | QFileDevice::ReadOther),
             QFileDevice::ReadUser | QFileDevice::WriteUser);
#endif
}

void PackageWriterTest::cancelMidBlockKeepsTheEarlierArchive_data()
{
    QTest::addColumn<int>("jobs");
    QTest::addColumn<bool>("merge"); // the item comes from a combined package
    QTest::newRow("one stream") << 1 << false;
    QTest::newRow("blocks on every core") << 0 << false;
    QTest::newRow("copy and check beside it") << 0 << true;
}

void PackageWriterTest::cancelMidBlockKeepsTheEarlierArchive()
{
    QFETCH(int, jobs);
    QFETCH(bool, merge);
    TestFolder folder;
    const QByteArray earlier = "the package of last week";
    folder.write("out/pkg.zip", earlier);
    PackageItems items {{"hmi", plainItem(folder.write("in/hmi.bin", randomBytes(48 << 20, 9)))}};
    RunControl control;
    if (merge) {
        QVERIFY(!writePackage(folder.path("old.zip"), items, &control).failed());
        items = screened(folder.path("old.zip")).items;
        control.reset();
    }
    // Cancels once the run is some way into the item, inside a block.
    std::thread canceller([&] {
        while (control.bytesDone() < (5 << 20) + 12345 && control.bytesTotal() >= 0)
            std::this_thread::yield();
        control.requestCancel();
    });
    const PackageFailure failure
        = writePackage(folder.path("out/pkg.zip"), items, &control, {jobs, {}, false});
    canceller.join();
    QCOMPARE(int(failure.kind), int(PackageFailure::Cancelled));
    QVERIFY(control.bytesDone() < control.bytesTotal());
    QCOMPARE(readFile(folder.path("out/pkg.zip")), earlier);
    QCOMPARE(filesBelow(folder.path("out")), QStringList {"pkg.zip"});
}

// Built again later, or on another machine, the same items make the same
// package: nothing in it is the time of the run.
void PackageWriterTest::sameItemsGiveTheSameBytes()
{
    TestFolder folder;
    const QString item = folder.write("in/hmi.zip", randomBytes(300000, 5));
    QVERIFY(QDir().mkpath(folder.path("out")));
    RunControl control;
    QVERIFY(!writePackage(folder.path("out/first.zip"), {{"hmi", plainItem(item)}}, &control)
                 .failed());
    QTest::qWait(2100); // past the next two-second step of a DOS time
    QVERIFY(!writePackage(folder.path("out/second.zip"), {{"hmi", plainItem(item)}}, &control)
                 .failed());
    QCOMPARE(readFile(folder.path("out/second.zip")), readFile(folder.path("out/first.zip")));
}

QTEST_MAIN(PackageWriterTest)
#include "tst_packagewriter.moc"
