#include "entryreader.h"

#include <zip.h>
#include <zlib.h>

#include <cstring>

namespace {

using P = ZipProblem;

// libzip reads the package through this, from the bytes that were screened.
struct ByteSourceState
{
    std::shared_ptr<const ByteSource> source;
    quint64 offset = 0;
    zip_error_t error;
};

zip_int64_t byteSourceCallback(void *state, void *data, zip_uint64_t length,
                               zip_source_cmd_t command)
{
    auto *self = static_cast<ByteSourceState *>(state);
    const quint64 size = self->source->size();
    switch (command) {
    case ZIP_SOURCE_OPEN:
        self->offset = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        const quint64 count = qMin<quint64>(length, size - qMin(size, self->offset));
        if (count > 0 && !self->source->readAt(self->offset, static_cast<char *>(data), count)) {
            zip_error_set(&self->error, ZIP_ER_READ, self->source->lastError().code);
            return -1;
        }
        self->offset += count;
        return zip_int64_t(count);
    }
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        auto *st = static_cast<zip_stat_t *>(data);
        zip_stat_init(st);
        st->valid = ZIP_STAT_SIZE;
        st->size = size;
        return sizeof(*st);
    }
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t to
            = zip_source_seek_compute_offset(self->offset, size, data, length, &self->error);
        if (to < 0)
            return -1;
        self->offset = quint64(to);
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return zip_int64_t(self->offset);
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&self->error, data, length);
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
        zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

QString methodName(quint16 method)
{
    switch (method) {
    case ZIP_CM_DEFLATE64:
        return QStringLiteral("Deflate64");
    case ZIP_CM_BZIP2:
        return QStringLiteral("BZIP2");
    case ZIP_CM_LZMA:
        return QStringLiteral("LZMA");
    case ZIP_CM_XZ:
        return QStringLiteral("XZ");
    case 93:
        return QStringLiteral("Zstandard");
    case ZIP_CM_PPMD:
        return QStringLiteral("PPMd");
    default:
        return QString::number(method); // one without a name: its number
    }
}

constexpr quint64 chunk = 1 << 18;
// Inflated bytes land in a piece this large: zlib keeps its 32 KiB window by
// copying the end of each piece, which costs little once pieces are large.
constexpr quint64 inflatedPiece = 1 << 20;

} // namespace

// ---- DeflateCheck -----------------------------------------------------------

struct DeflateCheck::Stream
{
    z_stream z {};
    bool ready = false;
    bool ended = false;
    quint64 produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    std::unique_ptr<Bytef[]> scratch; // not cleared: every byte is written before it is read
    uInt scratchSize = 0;
};

DeflateCheck::DeflateCheck(quint64 size, quint32 crc, QByteArray *plain)
    : stream(std::make_unique<Stream>())
    , expectedSize(size)
    , expectedCrc(crc)
    , plain(plain)
{
    // A small entry gets a small piece (one byte more than it declares shows
    // a stream that runs longer); a package may hold 65,535 of them.
    stream->scratchSize = uInt(qBound<quint64>(4096, size + 1, inflatedPiece));
    stream->scratch.reset(new Bytef[stream->scratchSize]);
    stream->ready = inflateInit2(&stream->z, -MAX_WBITS) == Z_OK;
}

DeflateCheck::~DeflateCheck()
{
    if (stream->ready)
        inflateEnd(&stream->z);
}

bool DeflateCheck::fail(ZipProblem::What how)
{
    if (what == ZipProblem::Unspecified)
        what = how;
    return false;
}

bool DeflateCheck::feed(const char *data, quint64 length)
{
    if (what != ZipProblem::Unspecified || !stream->ready)
        return fail(P::DataInvalid);
    if (length == 0)
        return true;
    if (stream->ended)
        return fail(P::BytesAfterStreamEnd);
    z_stream &z = stream->z;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    z.avail_in = uInt(length);
    do {
        z.next_out = stream->scratch.get();
        z.avail_out = stream->scratchSize;
        const int result = inflate(&z, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
            return fail(P::DataInvalid);
        const uInt made = stream->scratchSize - z.avail_out;
        stream->crc = crc32(stream->crc, stream->scratch.get(), made);
        stream->produced += made;
        if (stream->produced > expectedSize)
            return fail(P::LongerThanDeclared);
        if (plain)
            plain->append(reinterpret_cast<const char *>(stream->scratch.get()), int(made));
        stream->ended = result == Z_STREAM_END;
        if (result == Z_BUF_ERROR && made == 0)
            break;
    } while (!stream->ended && (z.avail_in > 0 || z.avail_out == 0));
    if (stream->ended && z.avail_in > 0)
        return fail(P::BytesAfterStreamEnd);
    return true;
}

bool DeflateCheck::finish()
{
    if (what != ZipProblem::Unspecified)
        return false;
    if (!stream->ended)
        return fail(P::StreamNotEnded);
    if (stream->produced != expectedSize)
        return fail(P::ShorterThanDeclared);
    if (stream->crc != expectedCrc)
        return fail(P::CrcMismatch);
    return true;
}

// ---- EntryReader ------------------------------------------------------------

EntryReader::EntryReader(std::shared_ptr<const ByteSource> source, const ZipEntry &entry)
    : source(std::move(source))
    , entry(entry)
{
}

EntryReader::~EntryReader()
{
    closeLibzip();
}

bool EntryReader::canRead(quint16 method)
{
    return method == methodStore || method == methodDeflate
        || zip_compression_method_supported(zip_int32_t(method), 0);
}

quint64 EntryReader::bytesToDeliver() const
{
    return entry.method == methodStore || entry.method == methodDeflate ? entry.compressedSize
                                                                        : entry.size;
}

qint64 EntryReader::fail(ZipProblem::Code code, ZipProblem::What what, const QString &detail)
{
    if (!problem.failed())
        problem = ZipProblem::of(code, entry.name, what, detail);
    return -1;
}

bool EntryReader::open()
{
    problem = ZipProblem();
    done = 0;
    crc = quint32(crc32(0, nullptr, 0));
    finished = false;
    deflate.reset();
    closeLibzip();
    if (plainSink)
        plainSink->clear();
    if (entry.isEncrypted())
        fail(P::EncryptedEntry);
    else if (!canRead(entry.method))
        fail(P::UnsupportedMethod, P::Unspecified, methodName(entry.method));
    else if (entry.method == methodStore && entry.compressedSize != entry.size)
        fail(P::EntryCorrupt, P::StoredSizeWrong);
    else if (entry.method == methodDeflate)
        deflate = std::make_unique<DeflateCheck>(entry.size, entry.crc, plainSink);
    else if (entry.method != methodStore)
        openLibzip();
    return !problem.failed();
}

qint64 EntryReader::read(char *data, quint64 length)
{
    if (problem.failed())
        return -1;
    if (entry.method == methodStore || entry.method == methodDeflate)
        return readStored(data, length);
    return readCompressed(data, length);
}

// Stored and deflated entries: their bytes as they lie in the package.
qint64 EntryReader::readStored(char *data, quint64 length)
{
    const quint64 left = entry.compressedSize - done;
    if (left == 0) {
        if (!finished) {
            const bool intact = deflate ? deflate->finish() : crc == entry.crc;
            if (!intact)
                return fail(P::EntryCorrupt, deflate ? deflate->problem() : P::CrcMismatch);
            finished = true;
        }
        return 0;
    }
    const quint64 count = qMin(left, qMin<quint64>(length, chunk));
    if (!source->readAt(entry.dataOffset + done, data, count)) {
        if (source->lastError().failed())
            return fail(P::ReadError, P::Unspecified, source->lastError().words);
        return fail(P::SourceChanged);
    }
    if (deflate) {
        if (!deflate->feed(data, count))
            return fail(P::EntryCorrupt, deflate->problem());
    } else {
        crc = quint32(crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(count)));
        if (plainSink)
            plainSink->append(data, int(count));
    }
    done += count;
    return qint64(count);
}

bool EntryReader::openLibzip()
{
    auto *state = new ByteSourceState {source, 0, {}};
    zip_error_init(&state->error);
    sourceState = state;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *zs = zip_source_function_create(byteSourceCallback, state, &error);
    if (zs) {
        archive = zip_open_from_source(zs, ZIP_RDONLY, &error);
        if (!archive)
            zip_source_free(zs);
    }
    zip_error_fini(&error);
    // libzip finds the entry by its place in the central directory; it must
    // see the very same entry there.
    const char *name
        = archive ? zip_get_name(archive, zip_uint64_t(entry.index), ZIP_FL_ENC_RAW) : nullptr;
    if (name && QByteArray(name) == entry.rawName)
        file = zip_fopen_index(archive, zip_uint64_t(entry.index), 0);
    if (file)
        return true;
    fail(P::EntryCorrupt, P::DataInvalid);
    return false;
}

void EntryReader::closeLibzip()
{
    if (file)
        zip_fclose(file);
    if (archive)
        zip_discard(archive);
    if (auto *state = static_cast<ByteSourceState *>(sourceState)) {
        zip_error_fini(&state->error);
        delete state;
    }
    file = nullptr;
    archive = nullptr;
    sourceState = nullptr;
}

// Entries compressed otherwise: inflated by libzip, which stops at the
// compressed size; here it stops one byte past the declared size.
qint64 EntryReader::readCompressed(char *data, quint64 length)
{
    const quint64 left = entry.size - done;
    if (left == 0) {
        if (!finished) {
            char probe;
            if (zip_fread(file, &probe, 1) != 0)
                return fail(P::EntryCorrupt, P::LongerThanDeclared);
            if (crc != entry.crc)
                return fail(P::EntryCorrupt, P::CrcMismatch);
            finished = true;
        }
        return 0;
    }
    const zip_int64_t got = zip_fread(file, data, qMin(left, length));
    if (got < 0)
        return fail(P::EntryCorrupt, P::DataInvalid);
    if (got == 0)
        return fail(P::EntryCorrupt, P::ShorterThanDeclared);
    crc = quint32(crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(got)));
    if (plainSink)
        plainSink->append(data, int(got));
    done += quint64(got);
    return got;
}

ZipProblem drainEntry(EntryReader *reader, const std::function<bool(quint64)> &keepGoing)
{
    if (!reader->open())
        return reader->failure();
    const quint64 size = qBound<quint64>(1, reader->bytesToDeliver(), chunk);
    std::unique_ptr<char[]> buffer(new char[size]);
    for (;;) {
        const qint64 got = reader->read(buffer.get(), size);
        if (got < 0)
            return reader->failure();
        if (got == 0)
            return ZipProblem();
        if (!keepGoing(quint64(got)))
            return ZipProblem::of(P::Cancelled, reader->entryName());
    }
}
