// libFuzzer harness: the fuzzer's bytes describe a package (entry names,
// methods, flags, contents, extra fields, a manifest of (key, name) members, a
// layout and a few header edits); libzip compresses and checksums the entries in memory,
// so that CRCs and sizes are right and the checks reach past them, and the
// package is laid out as described and held to the invariant (invariant.h).
#include "invariant.h"
#include "rawzip.h"

#include <QFile>
#include <QStringList>
#include <QTextCodec>

#include <fuzzer/FuzzedDataProvider.h>
#include <zip.h>
#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char manifestName[] = "upgrade_package_config.json";

// Names that have mattered: ordinary ones in several scripts and encodings,
// and every kind a package must not carry or must carry with care.
const std::vector<QByteArray> sampleNames = {
    "hmi_v2.zip",
    "ctrl.bin",
    "kr6.cfg",
    "\xe6\x8e\xa7\xe5\x88\xb6\xe5\x99\xa8.bin", // 控制器.bin in UTF-8
    "\xbf\xd8\xd6\xc6\xc6\xf7.bin", // the same in GB18030
    "\xe8\xaf\xad\xe8\xa8\x80\xe5\x8c\x85.zip", // 语言包.zip
    "Cafe\xcc\x81.png", // decomposed
    "Caf\xc3\xa9.png", // composed
    "HMI_V2.ZIP",
    "hmi.zip",
    "hmi.zip.",
    "hmi.zip ",
    " hmi.zip",
    "..",
    ".",
    "../../../../tmp/evil.sh",
    "./x",
    "./hmi_v2.zip",
    "./",
    "/etc/passwd",
    "C:x",
    "C:\\x",
    "a\\b",
    "dir/",
    "dir/ctrl.bin",
    "pkg/upgrade_package_config.json",
    "./upgrade_package_config.json",
    "Upgrade_Package_Config.json",
    "upgrade_package_config.json.",
    "upgrade_package_config.json",
    "CON",
    "con.txt",
    "COM1",
    "LPT\xc2\xb9",
    "NUL ",
    "a:b",
    "a<b",
    "a\x01"
    "b",
    "a\tb",
    "a\x7f",
    "a\xc2\x85"
    "b", // U+0085, a C1 control
    "",
    "\xff\xfe",
    "\xef\xbb\xbf"
    "bom",
    "\xef\xbd\x88\xef\xbd\x8d\xef\xbd\x89.zip", // ｈｍｉ.zip
    "\xed\xa0\x80.bin", // a lone surrogate in UTF-8 form
    "\xf0\x9f\x98\x80.bin", // outside the BMP
    "a\x00"
    "b",
    "logo.png",
    "servo.bin",
    // Unicode forms: U+0958 grows under NFC, the Kelvin sign becomes "K",
    // Hangul jamo compose, a ligature changes only under NFKC.
    QByteArray("\xe0\xa5\x98").repeated(85),
    "\xe2\x84\xaa.bin",
    "k.bin",
    "\xe1\x84\x80\xe1\x85\xa1.bin",
    "\xea\xb0\x80.bin",
    "\xef\xac\x81.bin",
    // Invisible format characters: U+200B, U+202E, U+00AD, U+200E, a tag.
    "hmi\xe2\x80\x8b.zip",
    "\xe2\x80\xaegpj.zip",
    "hm\xc2\xadi.zip",
    "hmi.zip\xe2\x80\x8e",
    "hmi\xf3\xa0\x81\x81.zip",
    // Terminal escapes; bytes that are no text in UTF-8 nor in GB18030.
    "\x1b]0;pwned\x07\x1b[2J.txt",
    "hmi\x81",
    "a\x80"
    "b",
    // Around the longest name a package may hold at all: 1 KiB.
    QByteArray(1024, 'n'),
    QByteArray(1025, 'n'),
};

// Type keys and near misses, as JSON text.
const std::vector<QByteArray> sampleKeys = {
    "hmi",
    "dravo",
    "robot_configuration",
    "3d_model",
    "logo",
    "servo",
    "language",
    "HMI",
    "Hmi",
    "hmi ",
    " hmi",
    "hmi\\u0000",
    "hmi\\t",
    "hmi\\u00a0",
    "\\uff48\\uff4d\\uff49",
    "\\uff28\\uff2d\\uff29",
    "hmi\\u200b",
    "Logo",
    "LANGUAGE",
    "3D_MODEL",
    "extra",
    "",
    "\\u0000",
    "hmi\\n",
    "h\\u0131mi",
    "\\u0085hmi",
    "robot_configuration ",
    "servo\\u3000",
    "\\ufeffhmi",
    "hmi.",
    // No text: surrogates without their other half, bytes that are not UTF-8.
    "x\\ud800",
    "\\udc00hmi",
    "hmi\\ud83d\\ude00",
    "x\xff",
    "hmi\x81",
    // Invisible format characters.
    "hmi\\u202e",
    "hmi\\u00ad",
    "\\u200ehmi",
    "hmi\\u2060",
};

class Decoder
{
public:
    Decoder(const uint8_t *data, size_t size)
        : in(data, size)
    {
    }

    template<typename T>
    T pick(const std::vector<T> &list)
    {
        return list.at(in.ConsumeIntegralInRange<size_t>(0, list.size() - 1));
    }
    int choice(int last) { return in.ConsumeIntegralInRange<int>(0, last); }
    bool flag() { return in.ConsumeBool(); }
    quint16 u16() { return in.ConsumeIntegral<quint16>(); }
    quint32 u32() { return in.ConsumeIntegral<quint32>(); }
    QByteArray bytes(size_t most)
    {
        const std::string text = in.ConsumeRandomLengthString(most);
        return QByteArray(text.data(), int(text.size()));
    }

    // A name; by default one of its own, "item<n>.bin", so that a short
    // description makes a package that is taken.
    QByteArray name(int n)
    {
        switch (choice(4)) {
        case 0:
            return "item" + QByteArray::number(n) + ".bin";
        case 1:
            return pick(sampleNames);
        case 2:
            return bytes(40);
        case 3:
            return pick(sampleNames) + bytes(8);
        default: // long: at and past the 255 bytes a name may take
            return QByteArray(in.ConsumeIntegralInRange<int>(200, 300), 'n') + ".bin";
        }
    }

    QByteArray content()
    {
        switch (choice(3)) {
        case 0:
            return bytes(2048);
        case 1: // shrinks well: long runs and repeats
            return QByteArray(in.ConsumeIntegralInRange<int>(0, 1 << 16),
                              char(in.ConsumeIntegral<char>()));
        case 2: {
            const QByteArray line = bytes(40);
            return line.repeated(in.ConsumeIntegralInRange<int>(0, 500));
        }
        default:
            return QByteArray();
        }
    }

    FuzzedDataProvider in;
};

// One entry as the description has it.
struct EntryPlan
{
    QByteArray name;
    QByteArray content;
    int method = ZIP_CM_DEFLATE;
    int level = 6;
    int nameFlag = 0; // 0: bit 11 exactly when the name is UTF-8 and not ASCII; 1: set; 2: clear
    quint16 dosTime = 0;
    quint16 dosDate = 0x21;
    quint16 madeBy = 0x031e;
    quint32 attributes = 0100644u << 16;
    quint16 moreFlags = 0;
    RawEntry::Descriptor descriptor = RawEntry::NoDescriptor;
    bool localSizesZero = true;
    bool zip64 = false;
    QByteArray localName; // null: as the central header
    QByteArray centralExtra;
    QByteArray localExtra;
    bool twice = false;
};

QByteArray extraField(quint16 id, const QByteArray &data)
{
    QByteArray field;
    putLe16(&field, id);
    putLe16(&field, quint16(data.size()));
    return field + data;
}

// An extra field as writers put them, or as hostile ones do: times (UT,
// NTFS), a Unicode Path field that names the entry or another name, whose
// CRC-32 is the stored name's or stale, and blocks that do not add up.
QByteArray decodeExtraField(Decoder *d, const QByteArray &storedName)
{
    switch (d->choice(7)) {
    case 0: { // UT: flags, then up to three times
        QByteArray data(1, char(d->choice(7)));
        for (int i = d->choice(3); i > 0; --i)
            putLe32(&data, d->u32());
        return extraField(0x5455, data);
    }
    case 1: { // NTFS: reserved, tag 1, three FILETIMEs
        QByteArray data;
        putLe32(&data, 0);
        putLe16(&data, quint16(d->flag() ? 1 : d->u16()));
        putLe16(&data, 24);
        for (int i = 0; i < 3; ++i)
            putLe64(&data, d->flag() ? 0 : (quint64(d->u32()) + 11644473600ULL) * 10000000ULL);
        return extraField(0x000a, data);
    }
    case 2:
    case 3: { // Unicode Path: version, CRC-32 of the stored name, a name
        QByteArray data(1, char(d->flag() ? 1 : d->choice(3)));
        const QByteArray name = d->flag() ? storedName : d->name(0);
        const QByteArray crcOf = d->choice(3) == 3 ? d->name(1) : storedName;
        putLe32(&data,
                quint32(crc32(0, reinterpret_cast<const Bytef *>(crcOf.constData()),
                              uInt(crcOf.size()))));
        return extraField(0x7075, data + name);
    }
    case 4: { // a field longer than what follows
        QByteArray field;
        putLe16(&field, d->u16());
        putLe16(&field, quint16(d->choice(64)));
        return field + d->bytes(8);
    }
    case 5: // a tail: padding, or not
        return d->flag() ? QByteArray(1 + d->choice(2), '\0') : d->bytes(3);
    default:
        return d->bytes(24);
    }
}

int methodFor(int choice)
{
    static const int methods[] = {ZIP_CM_DEFLATE, ZIP_CM_STORE, ZIP_CM_BZIP2};
    return methods[choice];
}

EntryPlan decodeEntry(Decoder *d, int n)
{
    EntryPlan plan;
    plan.name = d->name(n);
    plan.content = d->content();
    plan.method = methodFor(d->choice(2));
    // bzip2 takes 400 KB of tables per level: the lowest levels keep runs fast.
    plan.level = plan.method == ZIP_CM_BZIP2 ? 1 + d->choice(2) : d->choice(9);
    plan.nameFlag = d->choice(2);
    if (d->flag()) {
        plan.dosTime = d->u16();
        plan.dosDate = d->u16();
    }
    switch (d->choice(5)) {
    case 0:
        break;
    case 1: // a link
        plan.attributes = 0120777u << 16;
        break;
    case 2: // a folder, made by Unix
        plan.attributes = 040755u << 16;
        break;
    case 3: // MS-DOS attributes: archive, or folder
        plan.madeBy = 0x0014;
        plan.attributes = d->flag() ? 0x20 : 0x10;
        break;
    case 4: // odd permission bits
        plan.attributes = (0100000u | (d->u16() & 07777)) << 16;
        break;
    default:
        plan.madeBy = d->u16();
        plan.attributes = d->u32();
        break;
    }
    if (d->choice(3) == 3) // encrypted, strong encryption, or other bits
        plan.moreFlags = d->u16() & ~0x0808;
    plan.descriptor = RawEntry::Descriptor(d->choice(2));
    plan.localSizesZero = d->flag();
    plan.zip64 = d->choice(3) == 3;
    if (d->choice(7) == 7)
        plan.localName = d->name(n + 1);
    // Extra fields in the central header, the local one, or both.
    for (int i = d->choice(7) >= 5 ? 1 + d->choice(2) : 0; i > 0; --i) {
        const QByteArray field = decodeExtraField(d, plan.name);
        const int where = d->choice(2);
        if (where != 1)
            plan.centralExtra += field;
        if (where != 0)
            plan.localExtra += field;
    }
    plan.twice = d->choice(15) == 15;
    return plan;
}

// A manifest name from an entry's name: as is, or one that nearly matches.
QString nameVariant(Decoder *d, const QString &name)
{
    switch (d->choice(8)) {
    case 0:
    case 1:
    case 2:
        return name;
    case 3:
        return name.toUpper();
    case 4:
        return name.normalized(QString::NormalizationForm_D);
    case 5:
        return name.normalized(QString::NormalizationForm_C);
    case 6:
        return QStringLiteral("./") + name;
    case 7:
        return name + QChar(d->flag() ? 0xd800 : 0xdc00);
    default:
        return name + QLatin1Char('.');
    }
}

QByteArray jsonString(const QString &text, bool asciiOnly)
{
    QByteArray out = "\"";
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '"' || u == '\\') {
            out += '\\';
            out += char(u);
        } else if (u < 0x20 || (asciiOnly && u > 0x7e) || c.isSurrogate()) {
            out += "\\u" + QByteArray::number(u, 16).rightJustified(4, '0');
        } else {
            out += QString(c).toUtf8();
        }
    }
    return out + '"';
}

QString decodedName(const QByteArray &name)
{
    QTextCodec::ConverterState state;
    const QString utf8
        = QTextCodec::codecForName("UTF-8")->toUnicode(name.constData(), name.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return utf8;
    return QTextCodec::codecForName("GB18030")->toUnicode(name);
}

QByteArray manifestText(Decoder *d, const std::vector<EntryPlan> &entries)
{
    if (d->choice(15) == 15)
        return d->bytes(200); // anything at all
    const bool asciiOnly = d->flag();
    // By default every entry in its order under a type key of its own, then
    // a few more members.
    const int listed = d->flag() ? 0 : int(entries.size());
    const int members = listed + d->choice(3);
    QByteArray text = "{";
    for (int i = 0; i < members; ++i) {
        if (i > 0)
            text += ',';
        QByteArray key;
        switch (d->choice(15)) {
        case 0:
            key = '"' + sampleKeys.at(size_t(i % 7)) + '"';
            break;
        case 14: // long: Chinese text takes 2 bytes in GB18030 and 3 in UTF-8
            key = '"' + QByteArray("\xe4\xb8\xad").repeated(d->in.ConsumeIntegralInRange(0, 400000))
                + '"';
            break;
        case 15:
            key = jsonString(decodedName(d->bytes(12)), asciiOnly);
            break;
        default:
            key = '"' + d->pick(sampleKeys) + '"';
            break;
        }
        QString name;
        switch (entries.empty() ? 5 : d->choice(5)) {
        case 0:
            name = nameVariant(d, decodedName(entries.at(size_t(i) % entries.size()).name));
            break;
        case 5:
            name = decodedName(d->name(i));
            break;
        default:
            name = nameVariant(d, decodedName(d->pick(entries).name));
            break;
        }
        QByteArray value;
        switch (d->choice(7)) {
        case 1:
            value = "{\"name\":" + jsonString(name, asciiOnly) + ",\"version\":\"1.0\"}";
            break;
        case 2:
            value = jsonString(name, asciiOnly);
            break;
        case 3:
            value = "{\"name\":" + QByteArray::number(d->u16()) + '}';
            break;
        case 4:
            value = "{}";
            break;
        case 5:
            value = "{\"name\":" + jsonString(name, asciiOnly) + ",\"name\":\"other.bin\"}";
            break;
        default:
            value = "{\"name\":" + jsonString(name, asciiOnly) + '}';
            break;
        }
        text += key + ':' + value;
    }
    text += '}';
    switch (d->choice(7)) {
    case 1:
        return "\xef\xbb\xbf" + text;
    case 2:
        return QTextCodec::codecForName("GB18030")->fromUnicode(QString::fromUtf8(text));
    case 3:
        return "\r\n" + text + "\r\n";
    default:
        return text;
    }
}

EntryPlan decodeManifest(Decoder *d, const std::vector<EntryPlan> &entries)
{
    EntryPlan plan;
    plan.name = d->choice(7) == 7 ? d->name(0) : QByteArray(manifestName);
    plan.content = manifestText(d, entries);
    plan.method = methodFor(d->choice(2));
    plan.level = plan.method == ZIP_CM_BZIP2 ? 1 : d->choice(9);
    plan.descriptor = RawEntry::Descriptor(d->choice(2));
    plan.localSizesZero = d->flag();
    plan.zip64 = d->choice(3) == 3;
    return plan;
}

// libzip writes every entry into memory: it compresses and checksums them.
// Under its own names each entry carries its place; pass-through keeps what
// libzip wrote, with the planned names.
QByteArray writeWithLibzip(const std::vector<EntryPlan> &plans, bool passThrough)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_error_fini(&error);
    if (!buffer)
        return QByteArray();
    zip_source_keep(buffer);
    zip_t *za = zip_open_from_source(buffer, ZIP_TRUNCATE, nullptr);
    if (!za) {
        zip_source_free(buffer);
        return QByteArray();
    }
    for (size_t i = 0; i < plans.size(); ++i) {
        const EntryPlan &plan = plans.at(i);
        zip_source_t *data
            = zip_source_buffer(za, plan.content.constData(), zip_uint64_t(plan.content.size()), 0);
        const QByteArray name = passThrough ? plan.name : QByteArray::number(qulonglong(i));
        const zip_flags_t encoding = plan.nameFlag == 2 ? ZIP_FL_ENC_CP437 : ZIP_FL_ENC_GUESS;
        const zip_int64_t index = data ? zip_file_add(za, name.constData(), data, encoding) : -1;
        if (index < 0) {
            // A name libzip will not take twice, or at all: left out.
            if (data)
                zip_source_free(data);
            continue;
        }
        const auto at = zip_uint64_t(index);
        zip_set_file_compression(za, at, plan.method, zip_uint32_t(plan.level));
        zip_file_set_dostime(za, at, plan.dosTime, plan.dosDate, 0);
        zip_file_set_external_attributes(za, at, 0, zip_uint8_t(plan.madeBy >> 8), plan.attributes);
    }
    QByteArray bytes;
    if (zip_close(za) != 0) {
        zip_discard(za);
    } else if (zip_source_open(buffer) == 0) {
        char chunk[1 << 14];
        zip_int64_t got;
        while ((got = zip_source_read(buffer, chunk, sizeof(chunk))) > 0)
            bytes.append(chunk, int(got));
        zip_source_close(buffer);
    }
    zip_source_free(buffer);
    return bytes;
}

bool isAscii(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (quint8(c) > 0x7f)
            return false;
    }
    return true;
}

// The entries as libzip wrote them, under the planned names and layout.
QByteArray layOut(Decoder *d, const std::vector<EntryPlan> &plans, const QByteArray &written,
                  RawLayout *layout)
{
    RawArchive archive;
    if (!parseZip(written, &archive) || archive.entries.size() != int(plans.size()))
        return QByteArray();
    QList<RawEntry> entries;
    for (size_t i = 0; i < plans.size(); ++i) {
        const EntryPlan &plan = plans.at(i);
        RawEntry entry = archive.entries.at(int(i));
        entry.name = plan.name;
        entry.localName = plan.localName;
        const bool utf8Name = !isAscii(plan.name) && decodedName(plan.name).toUtf8() == plan.name;
        const bool utf8Flag = plan.nameFlag == 1 || (plan.nameFlag == 0 && utf8Name);
        entry.flags = quint16((entry.flags & ~0x0800) | (utf8Flag ? 0x0800 : 0) | plan.moreFlags);
        entry.madeBy = plan.madeBy;
        entry.externalAttributes = plan.attributes;
        entry.descriptor = plan.descriptor;
        entry.localSizesZero = plan.localSizesZero;
        entry.zip64 = plan.zip64;
        entry.centralExtra += plan.centralExtra;
        entry.localExtra += plan.localExtra;
        entries.append(entry);
        if (plan.twice)
            entries.append(entry);
    }
    archive.entries = entries;
    switch (d->choice(15)) {
    case 1:
        archive.prefix = d->bytes(16);
        break;
    case 2:
        archive.beforeDirectory = d->bytes(16);
        break;
    case 3:
        archive.suffix = d->bytes(16);
        break;
    case 6: // zeros, as bsdtar pads what it writes to a pipe; perhaps a byte more
        archive.suffix = QByteArray(d->in.ConsumeIntegralInRange<int>(1, 12000), '\0')
            + (d->flag() ? d->bytes(1) : QByteArray());
        break;
    case 4:
        archive.comment = d->bytes(32);
        break;
    case 5:
        archive.comment = "PK\x05\x06" + d->bytes(24);
        break;
    default:
        break;
    }
    archive.zip64End = d->choice(3) == 3;
    archive.saturateEnd = d->flag();
    return buildZip(archive, layout);
}

// A few header fields set to values that have mattered: nothing, one,
// saturated, or off by one from what stood there.
void editHeaders(Decoder *d, const RawLayout &layout, QByteArray *bytes)
{
    const int edits = d->choice(7) >= 6 ? d->choice(3) : 0;
    for (int i = 0; i < edits && !bytes->isEmpty(); ++i) {
        quint64 at = 0;
        const std::vector<quint64> locals(layout.localOffsets.begin(), layout.localOffsets.end());
        const std::vector<quint64> centrals(layout.centralOffsets.begin(),
                                            layout.centralOffsets.end());
        switch (d->choice(3)) {
        case 0:
            at = locals.empty() ? 0 : d->pick(locals) + quint64(d->choice(63));
            break;
        case 1:
            at = centrals.empty() ? 0 : d->pick(centrals) + quint64(d->choice(63));
            break;
        case 2:
            at = layout.endOffset + quint64(d->choice(21));
            break;
        default:
            at = quint64(d->choice(bytes->size() - 1));
            break;
        }
        const int width = d->flag() ? 4 : 2;
        if (at + quint64(width) > quint64(bytes->size()))
            continue;
        quint32 value = 0;
        for (int b = 0; b < width; ++b)
            value |= quint32(quint8(bytes->at(int(at) + b))) << (8 * b);
        switch (d->choice(4)) {
        case 0:
            value = 0;
            break;
        case 1:
            value = 1;
            break;
        case 2:
            value = width == 4 ? 0xffffffff : 0xffff;
            break;
        case 3:
            value += d->flag() ? 1 : -1;
            break;
        default:
            value ^= 1u << d->choice(8 * width - 1);
            break;
        }
        for (int b = 0; b < width; ++b)
            (*bytes)[int(at) + b] = char(value >> (8 * b));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Decoder d(data, size);
    std::vector<EntryPlan> plans;
    const int count = d.choice(6);
    for (int i = 0; i < count; ++i)
        plans.push_back(decodeEntry(&d, i));
    if (d.choice(15) != 15) {
        const EntryPlan manifest = decodeManifest(&d, plans);
        plans.insert(plans.begin() + d.choice(int(plans.size())), manifest);
    }
    const bool passThrough = d.choice(3) == 3;
    const QByteArray written = writeWithLibzip(plans, passThrough);
    if (written.isEmpty())
        return 0;
    RawLayout layout;
    QByteArray package = written;
    if (!passThrough) {
        package = layOut(&d, plans, written, &layout);
        if (package.isEmpty())
            return 0;
    }
    editHeaders(&d, layout, &package);
    // Run on a finding with FUZZ_PACKAGE_OUT=<file> to keep the package it
    // made, as a file for tests/fuzz/regressions/.
    if (const char *out = std::getenv("FUZZ_PACKAGE_OUT")) {
        QFile file(QFile::decodeName(out));
        if (file.open(QIODevice::WriteOnly))
            file.write(package);
    }
    checkPackageInvariant(package);
    return 0;
}
