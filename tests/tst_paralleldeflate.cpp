#include "paralleldeflate.h"
#include "runcontrol.h"
#include "testsupport.h"

#include <QDir>
#include <QtTest>

#include <zip.h>
#include <zlib.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

using State = ParallelDeflate::State;
constexpr int KiB = 1024;

// Configuration-like lines: deflates to about a quarter, with matches that
// reach back into earlier blocks.
QByteArray textBytes(int size, quint32 seed)
{
    static const char *words[] = {"axis",  "servo", "speed", "limit", "torque", "joint",
                                  "frame", "tool",  "base",  "gain",  "offset", "robot"};
    QByteArray text;
    text.reserve(size + 64);
    while (text.size() < size) {
        seed = seed * 1103515245u + 12345u;
        text += QByteArray(words[(seed >> 16) % 12]) + '.' + words[(seed >> 8) % 12] + " = "
            + QByteArray::number((seed >> 4) % 10000) + '\n';
    }
    text.truncate(size);
    return text;
}

// Stretches of text, random bytes and zeros of odd lengths.
QByteArray mixedBytes(int size)
{
    QByteArray mix;
    for (quint32 part = 0; mix.size() < size; ++part) {
        const int length = 7000 + int(part * 7919 % 90000);
        mix += part % 3 == 0 ? textBytes(length, part)
            : part % 3 == 1  ? randomBytes(length, part)
                             : QByteArray(length, 0);
    }
    mix.truncate(size);
    return mix;
}

// The input as a ReadFunction that hands out at most chunk bytes a call.
ParallelDeflate::ReadFunction readerOf(const QByteArray &data, qint64 chunk)
{
    auto at = std::make_shared<qint64>(0);
    return [data, chunk, at](char *buf, qint64 max) {
        const qint64 count = qMin(qMin(max, chunk), qint64(data.size()) - *at);
        memcpy(buf, data.constData() + *at, size_t(count));
        *at += count;
        return count;
    };
}

// Everything read() gives, in reads of outChunk bytes; *last is the final
// result (0 at the end, -1 on failure).
QByteArray readAll(ParallelDeflate &deflater, qint64 outChunk, qint64 *last)
{
    QByteArray stream, buffer(int(outChunk), 0);
    qint64 got;
    while ((got = deflater.read(buffer.data(), outChunk)) > 0)
        stream.append(buffer.constData(), int(got));
    *last = got;
    return stream;
}

struct Inflated
{
    QByteArray data;
    bool ended = false; // the stream's end was reached, exactly at its last byte
};

Inflated inflateRaw(const QByteArray &stream)
{
    Inflated result;
    z_stream z {};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return result;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.constData()));
    z.avail_in = uInt(stream.size());
    char out[1 << 16];
    int code = Z_OK;
    while (code == Z_OK) {
        z.next_out = reinterpret_cast<Bytef *>(out);
        z.avail_out = sizeof(out);
        code = inflate(&z, Z_NO_FLUSH);
        result.data.append(out, int(sizeof(out) - z.avail_out));
    }
    result.ended = code == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return result;
}

// One zlib stream of the whole input, as the writer deflates today.
qint64 oneStreamSize(const QByteArray &data)
{
    z_stream z {};
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&z, uLong(data.size()))), 0);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    deflateEnd(&z);
    return qint64(z.total_out);
}

quint32 crcOf(const QByteArray &data)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size())));
}

int threadsOfProcess()
{
    return QDir(QStringLiteral("/proc/self/task"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

// An input that blocks after its first bytes until it is let go.
struct StuckInput
{
    QByteArray head;
    std::atomic<bool> entered {false}; // a read call waits in it
    std::atomic<bool> released {false};
    qint64 at = 0;

    ParallelDeflate::ReadFunction function()
    {
        return [this](char *buf, qint64 max) -> qint64 {
            if (at < head.size()) {
                const qint64 count = qMin(max, qint64(head.size()) - at);
                memcpy(buf, head.constData() + at, size_t(count));
                at += count;
                return count;
            }
            entered = true;
            while (!released)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 0;
        };
    }
};

// How the writer hands the stream to libzip: a source that is deflated
// already and whose CRC-32 is known only once it has been read, which libzip
// takes from the stat it asks for after reading.
struct DeflatingSource
{
    QByteArray input;
    std::unique_ptr<ParallelDeflate> deflater;
    bool ended = false;
    zip_error_t error {};

    static zip_int64_t callback(void *state, void *data, zip_uint64_t length,
                                zip_source_cmd_t command)
    {
        auto *self = static_cast<DeflatingSource *>(state);
        switch (command) {
        case ZIP_SOURCE_OPEN:
            self->ended = false;
            self->deflater
                = std::make_unique<ParallelDeflate>(readerOf(self->input, 1 << 16), 2, 6, 16 * KiB);
            return 0;
        case ZIP_SOURCE_READ: {
            const qint64 got = self->deflater->read(static_cast<char *>(data), qint64(length));
            if (got < 0)
                zip_error_set(&self->error, ZIP_ER_READ, 0);
            self->ended = got == 0;
            return got;
        }
        case ZIP_SOURCE_CLOSE: // the deflater stays for the stat after reading
            return 0;
        case ZIP_SOURCE_STAT: {
            auto *st = static_cast<zip_stat_t *>(data);
            zip_stat_init(st);
            st->valid = ZIP_STAT_COMP_METHOD | ZIP_STAT_SIZE;
            st->comp_method = ZIP_CM_DEFLATE;
            st->size = zip_uint64_t(self->input.size());
            if (self->ended) {
                st->valid |= ZIP_STAT_CRC | ZIP_STAT_COMP_SIZE;
                st->crc = self->deflater->crc();
                st->comp_size = self->deflater->outputSize();
            }
            return sizeof(*st);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&self->error, data, length);
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }
};

} // namespace

class ParallelDeflateTest : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void intoZipArchive();
    void sizeNearOneStream_data();
    void sizeNearOneStream();
    void readFailure_data();
    void readFailure();
    void cancelWhileInputIsStuck_data();
    void cancelWhileInputIsStuck();
    void cancelEndlessInput();
    void cancelAtEndOrBeforeStart();
    void memoryStaysBounded();
};

void ParallelDeflateTest::roundTrip_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<int>("readChunk"); // most bytes the input gives a call
    QTest::addColumn<int>("outChunk"); // bytes asked of each read()
    const int block = ParallelDeflate::defaultBlockSize;
    QTest::newRow("empty") << QByteArray() << 2 << block << block << 8192;
    QTest::newRow("one byte") << QByteArray("x") << 2 << block << block << 8192;
    QTest::newRow("exactly one block") << textBytes(block, 1) << 2 << block << block << 8192;
    QTest::newRow("one block and one byte")
        << textBytes(block + 1, 2) << 2 << block << block << 8192;
    QTest::newRow("exactly two blocks, short reads")
        << textBytes(2 * KiB, 3) << 1 << KiB << 100 << 8192;
    QTest::newRow("many small blocks, 4 threads")
        << textBytes(3 << 20, 4) << 4 << KiB << 65536 << 65536;
    QTest::newRow("blocks below the dictionary's size")
        << textBytes(400 * KiB, 5) << 2 << 5 * KiB << 3000 << 8192;
    QTest::newRow("random bytes") << randomBytes(1 << 20, 6) << 2 << 64 * KiB << 65536 << 8192;
    QTest::newRow("zeros") << QByteArray(3 << 20, 0) << 3 << block << block << 8192;
    QTest::newRow("mix, one thread") << mixedBytes(2 << 20) << 1 << 16 * KiB << 65536 << 8192;
    QTest::newRow("mix, 8 threads, byte-wise output")
        << mixedBytes(300 * KiB) << 8 << 4 * KiB << 777 << 1;
    QTest::newRow("block size below the minimum") << textBytes(5000, 7) << 2 << 1 << 300 << 8192;
}

void ParallelDeflateTest::roundTrip()
{
    QFETCH(QByteArray, input);
    QFETCH(int, threads);
    QFETCH(int, blockSize);
    QFETCH(int, readChunk);
    QFETCH(int, outChunk);
    ParallelDeflate deflater(readerOf(input, readChunk), threads, 6, blockSize);
    QCOMPARE(deflater.blockSize(), qMax(blockSize, ParallelDeflate::minimumBlockSize));
    qint64 last = -2;
    const QByteArray stream = readAll(deflater, outChunk, &last);
    QCOMPARE(last, 0);
    QCOMPARE(deflater.state(), State::Finished);
    QCOMPARE(deflater.read(nullptr, 1), 0); // the end stays the end

    const Inflated inflated = inflateRaw(stream);
    QVERIFY(inflated.ended);
    QVERIFY(inflated.data == input);
    QCOMPARE(deflater.crc(), crcOf(input));
    QCOMPARE(deflater.inputSize(), quint64(input.size()));
    QCOMPARE(deflater.outputSize(), quint64(stream.size()));

    // The same bytes whatever the number of threads.
    ParallelDeflate alone(readerOf(input, readChunk), 1, 6, blockSize);
    QVERIFY(readAll(alone, 65536, &last) == stream);

    // An inflater of another code base: python's zlib module.
    SKIP_WITHOUT_LINUX_PROGRAMS();
    TestFolder folder;
    const QString path = folder.write(QStringLiteral("stream.deflate"), stream);
    QByteArray output;
    QCOMPARE(runProgram(QStringLiteral("python3"),
                        {QStringLiteral("-c"),
                         QStringLiteral("import sys, zlib\n"
                                        "d = zlib.decompressobj(-15)\n"
                                        "data = d.decompress(open(sys.argv[1], 'rb').read())\n"
                                        "print(d.eof, len(d.unused_data), len(data),"
                                        " zlib.crc32(data))"),
                         path},
                        &output),
             0);
    QCOMPARE(output.trimmed(),
             QByteArray("True 0 %1 %2")
                 .replace("%1", QByteArray::number(input.size()))
                 .replace("%2", QByteArray::number(crcOf(input))));
}

// Entries written through libzip as the writer will: the CRC-32 and sizes
// reach the archive, and independent readers check every entry.
void ParallelDeflateTest::intoZipArchive()
{
    TestFolder folder;
    const QString path = folder.path(QStringLiteral("out.zip"));
    DeflatingSource sources[3];
    sources[1].input = mixedBytes(1 << 20);
    sources[2].input = textBytes(100 * KiB + 1, 5);
    int error = 0;
    zip_t *zip = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    QVERIFY(zip);
    for (int i = 0; i < 3; ++i) {
        zip_source_t *source = zip_source_function(zip, &DeflatingSource::callback, &sources[i]);
        const zip_int64_t index = zip_file_add(
            zip, QByteArray("entry%1").replace("%1", QByteArray::number(i)), source, 0);
        QVERIFY(index == i);
        QCOMPARE(zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_DEFLATE, 0), 0);
    }
    QVERIFY2(zip_close(zip) == 0, zip_strerror(zip));

    const QList<ArchiveEntry> entries = readZip(path); // checks each CRC-32
    QCOMPARE(entries.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(entries.at(i).method, int(ZIP_CM_DEFLATE));
        QVERIFY(entries.at(i).data == sources[i].input);
    }
    SKIP_WITHOUT_LINUX_PROGRAMS();
    QByteArray output;
    QCOMPARE(runProgram(QStringLiteral("unzip"), {QStringLiteral("-tq"), path}, &output), 0);
    QCOMPARE(
        runProgram(QStringLiteral("python3"),
                   {QStringLiteral("-c"),
                    QStringLiteral("import sys, zipfile\n"
                                   "sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)"),
                    path},
                   &output),
        0);
}

void ParallelDeflateTest::sizeNearOneStream_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("text") << textBytes(8 << 20, 11);
    QTest::newRow("mix") << mixedBytes(8 << 20);
}

// The blocks cost a fraction of a per cent against one zlib stream.
void ParallelDeflateTest::sizeNearOneStream()
{
    QFETCH(QByteArray, input);
    ParallelDeflate deflater(readerOf(input, 1 << 20), 2);
    qint64 last = -2;
    const qint64 size = readAll(deflater, 1 << 16, &last).size();
    QCOMPARE(last, 0);
    const qint64 single = oneStreamSize(input);
    QVERIFY2(size <= single * 1.005,
             qPrintable(QStringLiteral("%1 against %2 bytes").arg(size).arg(single)));
}

void ParallelDeflateTest::readFailure_data()
{
    QTest::addColumn<int>("failingCall"); // the input's call that fails, from 1
    QTest::addColumn<int>("how"); // 0: returns -1, 1: more than asked, 2: throws
    QTest::addColumn<int>("expected");
    QTest::newRow("at once") << 1 << 0 << int(State::ReadFailed);
    QTest::newRow("midway") << 40 << 0 << int(State::ReadFailed);
    QTest::newRow("more bytes than asked for") << 20 << 1 << int(State::ReadFailed);
    QTest::newRow("an exception") << 20 << 2 << int(State::Failed);
}

void ParallelDeflateTest::readFailure()
{
    QFETCH(int, failingCall);
    QFETCH(int, how);
    QFETCH(int, expected);
    const QByteArray input = textBytes(1 << 20, 3);
    auto calls = std::make_shared<int>(0);
    auto source = readerOf(input, 4 * KiB);
    ParallelDeflate deflater(
        [=](char *buf, qint64 max) -> qint64 {
            if (++*calls < failingCall)
                return source(buf, max);
            if (how == 2)
                throw std::runtime_error("disk gone");
            return how == 0 ? -1 : max + 1;
        },
        2, 6, 8 * KiB);
    qint64 last = 0;
    const QByteArray stream = readAll(deflater, 8192, &last);
    QCOMPARE(last, -1);
    QCOMPARE(int(deflater.state()), expected);
    QCOMPARE(deflater.read(nullptr, 1), -1);
    QCOMPARE(*calls, failingCall);
    // What came before the failure was the start of the whole stream.
    ParallelDeflate whole(readerOf(input, 4 * KiB), 2, 6, 8 * KiB);
    QVERIFY(readAll(whole, 8192, &last).startsWith(stream));
}

void ParallelDeflateTest::cancelWhileInputIsStuck_data()
{
    QTest::addColumn<bool>("byRunControl");
    QTest::newRow("cancel()") << false;
    QTest::newRow("RunControl's cancel") << true;
}

// The input hangs (a stalled network drive): read() must return -1 at the
// cancel without waiting for it, and the destructor joins once it returns.
void ParallelDeflateTest::cancelWhileInputIsStuck()
{
    QFETCH(bool, byRunControl);
    const int threadsBefore = threadsOfProcess();
    StuckInput input;
    input.head = textBytes(5 * 16 * KiB, 9);
    RunControl control;
    {
        ParallelDeflate deflater(input.function(), 2, 6, 16 * KiB, &control);
        std::atomic<bool> returned {false};
        std::thread canceller([&] {
            // Every block queued has been handed out: read() waits for the
            // one the reader holds back, with no thread left to wake it.
            while (!input.entered || deflater.blocksInFlight() > 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            byRunControl ? control.requestCancel() : deflater.cancel();
            // A read() that waited for the input would hang the test: the
            // input is let go after 10 s, which fails it instead.
            for (int ms = 0; ms < 10000 && !returned; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            input.released = true;
        });
        qint64 last = 0;
        readAll(deflater, 8192, &last);
        const bool waitedForInput = input.released;
        returned = true;
        canceller.join();
        QVERIFY(!waitedForInput);
        QCOMPARE(last, -1);
        QCOMPARE(deflater.state(), State::Cancelled);
    }
    QCOMPARE(threadsOfProcess(), threadsBefore);
}

// Cancel mid-stream on an input with no end: the next read() fails and the
// threads are joined (a pipeline that ran on to some end would never stop).
void ParallelDeflateTest::cancelEndlessInput()
{
    const int threadsBefore = threadsOfProcess();
    const QByteArray pattern = mixedBytes(1 << 20);
    {
        ParallelDeflate deflater(
            [&](char *buf, qint64 max) {
                const qint64 count = qMin<qint64>(max, pattern.size());
                memcpy(buf, pattern.constData(), size_t(count));
                return count;
            },
            3, 6, 32 * KiB);
        char out[8192];
        qint64 total = 0;
        while (total < (4 << 20))
            total += deflater.read(out, sizeof(out));
        deflater.cancel();
        QCOMPARE(deflater.read(out, sizeof(out)), -1);
        QCOMPARE(deflater.state(), State::Cancelled);
    }
    QCOMPARE(threadsOfProcess(), threadsBefore);
}

void ParallelDeflateTest::cancelAtEndOrBeforeStart()
{
    const int threadsBefore = threadsOfProcess();
    ParallelDeflate early(readerOf(textBytes(1000, 1), 1000), 2);
    early.cancel();
    char out[4096];
    QCOMPARE(early.read(out, sizeof(out)), -1);
    QCOMPARE(threadsOfProcess(), threadsBefore); // never started

    ParallelDeflate late(readerOf(textBytes(1000, 1), 1000), 2);
    qint64 last = -2;
    readAll(late, 4096, &last);
    QCOMPARE(last, 0);
    late.cancel();
    QCOMPARE(late.state(), State::Finished);
    QCOMPARE(late.read(out, sizeof(out)), 0);
    QCOMPARE(threadsOfProcess(), threadsBefore); // joined at the end
}

// A consumer that stops taking bytes stops the reader after a fixed number of
// blocks, however long the input.
void ParallelDeflateTest::memoryStaysBounded()
{
    const int blockSize = 4 * KiB;
    const QByteArray input = mixedBytes(8 << 20);
    std::atomic<qint64> handedIn {0};
    std::atomic<int> worst {0};
    ParallelDeflate *self = nullptr;
    auto source = readerOf(input, blockSize);
    ParallelDeflate deflater(
        [&](char *buf, qint64 max) {
            worst = qMax(worst.load(), self->blocksInFlight());
            const qint64 count = source(buf, max);
            handedIn += count;
            return count;
        },
        2, 6, blockSize);
    self = &deflater;
    const int limit = deflater.maxBlocksInFlight();
    QVERIFY(limit <= 2 * 3 + 2);

    char byte;
    QCOMPARE(deflater.read(&byte, 1), 1);
    QTRY_COMPARE_WITH_TIMEOUT(deflater.blocksInFlight(), limit, 20000);
    QVERIFY(handedIn <= qint64(limit) * blockSize);

    qint64 last = -2;
    QByteArray stream(1, byte);
    stream += readAll(deflater, 3000, &last);
    QCOMPARE(last, 0);
    QCOMPARE(deflater.peakBlocksInFlight(), limit);
    QVERIFY(worst <= limit);
    QVERIFY(inflateRaw(stream).data == input);
}

QTEST_MAIN(ParallelDeflateTest)
#include "tst_paralleldeflate.moc"
