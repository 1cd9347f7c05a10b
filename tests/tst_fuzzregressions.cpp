// Every package the fuzzers were ever given trouble by (tests/fuzz/regressions),
// every seed of their corpus (tests/fuzz/corpus) and what long runs kept
// (tests/fuzz/corpus-found), held to the fuzzers' invariant: inspect says valid exactly when a run
// takes the package, and the new package then holds the old entries byte for byte
// (tests/fuzz/invariant.h). Hostile packages must also be refused with the problem verdicts.txt
// names, and the seeds, packages of real writers, must be taken.
#include "combinedpackage.h"
#include "invariant.h"
#include "packagefailure.h"
#include "rawzip.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <zlib.h>

namespace {

const QString fuzzFolder = QStringLiteral(PROJECT_SOURCE_DIR "/tests/fuzz");
const QString taken = QStringLiteral("taken");

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// verdicts.txt: "<file> <problem code>" per line.
QHash<QString, QString> expectedVerdicts()
{
    QHash<QString, QString> verdicts;
    const QByteArray text = fileBytes(fuzzFolder + QStringLiteral("/regressions/verdicts.txt"));
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 2 && !line.startsWith('#'))
            verdicts.insert(QString::fromUtf8(fields.at(0)), QString::fromUtf8(fields.at(1)));
    }
    return verdicts;
}

RawEntry storedEntry(const QByteArray &name, const QByteArray &data)
{
    RawEntry entry;
    entry.name = name;
    entry.data = data;
    entry.size = entry.compressedSize = quint64(data.size());
    entry.crc
        = quint32(crc32(0, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size())));
    return entry;
}

RawEntry manifestNaming(const QByteArray &name)
{
    return storedEntry("upgrade_package_config.json", "{\"hmi\":{\"name\":\"" + name + "\"}}");
}

// Packages too large to keep as files: the longest name a ZIP header holds,
// and entry counts at and past the most a package may have.
QByteArray longNamePackage()
{
    RawArchive archive;
    const QByteArray name(65535, 'n');
    archive.entries << storedEntry(name, "hmi") << manifestNaming(name);
    return buildZip(archive);
}

QByteArray manyEntriesPackage(int count)
{
    RawArchive archive;
    for (int i = 0; i + 1 < count; ++i)
        archive.entries << storedEntry("e" + QByteArray::number(i), QByteArray());
    archive.entries << manifestNaming("e0");
    archive.zip64End = count > 0xffff;
    return buildZip(archive);
}

} // namespace

class FuzzRegressionsTest : public QObject
{
    Q_OBJECT

private slots:
    void invariantHolds_data();
    void invariantHolds();
};

void FuzzRegressionsTest::invariantHolds_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QString>("verdict"); // "taken", a problem code, or empty: either

    const QHash<QString, QString> verdicts = expectedVerdicts();
    const QDir regressions(fuzzFolder + QStringLiteral("/regressions"));
    const QStringList files
        = regressions.entryList({QStringLiteral("*.zip")}, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= verdicts.size());
    for (const QString &name : files)
        QTest::newRow(qPrintable(QStringLiteral("regressions/") + name))
            << fileBytes(regressions.filePath(name)) << verdicts.value(name);
    const QDir corpus(fuzzFolder + QStringLiteral("/corpus"));
    for (const QString &name : corpus.entryList({QStringLiteral("*.zip")}, QDir::Files, QDir::Name))
        QTest::newRow(qPrintable(QStringLiteral("corpus/") + name))
            << fileBytes(corpus.filePath(name)) << taken;
    // What long fuzzing runs kept (merge_corpus.sh): odd packages of any verdict.
    const QDir found(fuzzFolder + QStringLiteral("/corpus-found"));
    for (const QString &name : found.entryList(QDir::Files, QDir::Name))
        QTest::newRow(qPrintable(QStringLiteral("corpus-found/") + name))
            << fileBytes(found.filePath(name)) << QString();
    QTest::newRow("generated/name-65535-bytes")
        << longNamePackage() << QStringLiteral("unportable-entry-name");
    QTest::newRow("generated/65535-entries") << manyEntriesPackage(65535) << taken;
    QTest::newRow("generated/65536-entries")
        << manyEntriesPackage(65536) << QStringLiteral("too-many-entries");
}

void FuzzRegressionsTest::invariantHolds()
{
    QFETCH(QByteArray, package);
    QFETCH(QString, verdict);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString breach = PackageInvariant(folder.path()).breach(package);
    QVERIFY2(breach.isEmpty(), qPrintable(breach));
    if (verdict.isEmpty())
        return;
    const PackageScreening screening
        = judgePackage(std::make_shared<MemoryByteSource>(package), QStringLiteral("package.zip"),
                       EntryReading::EveryItem);
    QStringList codes;
    for (const PackageFailure &problem : screening.problems)
        codes << problemCode(problem);
    if (verdict == taken)
        QVERIFY2(screening.taken(), qPrintable(codes.join(QStringLiteral(", "))));
    else
        QVERIFY2(codes.contains(verdict), qPrintable(codes.join(QStringLiteral(", "))));
}

QTEST_GUILESS_MAIN(FuzzRegressionsTest)
#include "tst_fuzzregressions.moc"
