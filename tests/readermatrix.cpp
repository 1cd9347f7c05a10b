#include "readermatrix.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

// What a reader said: its exit code, its standard error, and its standard
// output either as text or, for entry data, as size and CRC-32 only.
struct Output
{
    int exitCode = -1;
    QByteArray text;
    QByteArray errors;
    quint64 size = 0;
    quint32 crc = 0;
};

// Runs a command in a UTF-8 locale, so that every reader prints and matches
// names in UTF-8. Entry data can run to gigabytes, so digest folds it into
// size and CRC-32 as it arrives instead of keeping it.
Output run(const QStringList &command, bool digest = false)
{
    Output out;
    out.crc = quint32(crc32(0, nullptr, 0));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(environment);
    process.start(command.first(), command.mid(1));
    if (!process.waitForStarted()) {
        out.errors = "cannot start " + command.first().toUtf8() + " (not installed?)";
        return out;
    }
    const auto take = [&] {
        const QByteArray chunk = process.readAllStandardOutput();
        if (!digest) {
            out.text += chunk;
            return;
        }
        out.crc = quint32(
            crc32(out.crc, reinterpret_cast<const Bytef *>(chunk.constData()), uInt(chunk.size())));
        out.size += quint64(chunk.size());
    };
    const QDeadlineTimer deadline(15 * 60 * 1000);
    while (process.state() != QProcess::NotRunning) {
        if (deadline.hasExpired()) {
            process.kill();
            process.waitForFinished();
            out.errors = "timed out";
            return out;
        }
        process.waitForReadyRead(100);
        take();
    }
    take();
    out.errors = process.readAllStandardError();
    out.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return out;
}

QString failure(const Output &out)
{
    QString said = QString::fromUtf8(out.errors + out.text).simplified();
    if (said.size() > 300)
        said = said.left(300) + QStringLiteral("...");
    return QStringLiteral("exit code %1: %2").arg(out.exitCode).arg(said);
}

QStringList lines(const QByteArray &text)
{
    return QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A name as a pattern of unzip and bsdtar that matches only itself.
QString literalPattern(QString name)
{
    for (const char special : {'[', '*', '?'})
        name.replace(QLatin1Char(special), QStringLiteral("[%1]").arg(QLatin1Char(special)));
    return name;
}

// Runs a command with the archive fed through a pipe, as a reader on the
// other end of a download gets it; the command's own exit code counts.
QStringList piped(const QString &archive, const QStringList &command)
{
    return QStringList {QStringLiteral("bash"), QStringLiteral("-c"),
                        QStringLiteral("cat -- \"$1\" | \"${@:2}\"; exit ${PIPESTATUS[1]}"),
                        QStringLiteral("pipe"), archive}
    + command;
}

struct Found
{
    ExpectedEntries entries;
    QString error; // why the reader failed, when it did
    bool ordered = true; // false: the order of the entries says nothing
};

Found failed(const QString &error)
{
    Found found;
    found.error = error;
    return found;
}

// Each name's data through its own command.
Found catEach(const QStringList &names, const std::function<QStringList(int)> &command)
{
    Found found;
    for (int i = 0; i < names.size(); ++i) {
        const Output out = run(command(i), true);
        if (out.exitCode != 0)
            return failed(names.at(i) + QStringLiteral(": ") + failure(out));
        found.entries.append({names.at(i), out.size, out.crc});
    }
    return found;
}

// Output of a script that prints, per entry, "<name as UTF-8 hex> <size>
// <crc as hex>", and "! <text>" for anything else it finds wrong.
Found scriptListing(const Output &out)
{
    if (out.exitCode != 0)
        return failed(failure(out));
    Found found;
    QStringList complaints;
    for (const QString &line : lines(out.text)) {
        const QStringList fields = line.split(QLatin1Char(' '));
        if (line.startsWith(QLatin1Char('!')) || fields.size() != 3)
            complaints << line;
        else
            found.entries.append({QString::fromUtf8(QByteArray::fromHex(fields.at(0).toLatin1())),
                                  fields.at(1).toULongLong(), fields.at(2).toUInt(nullptr, 16)});
    }
    found.error = complaints.join(QStringLiteral("; "));
    return found;
}

ExpectedEntry fileDigest(const QString &name, const QString &path)
{
    ExpectedEntry entry {name, 0, quint32(crc32(0, nullptr, 0))};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entry;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = file.read(buffer.data(), buffer.size())) > 0) {
        entry.crc = quint32(
            crc32(entry.crc, reinterpret_cast<const Bytef *>(buffer.constData()), uInt(got)));
        entry.size += quint64(got);
    }
    return entry;
}

// ---- the readers -------------------------------------------------------------

Found unzipReader(const QString &archive, const QString &)
{
    const Output test = run({"unzip", "-t", archive});
    if (test.exitCode != 0 || !test.text.contains("No errors detected"))
        return failed(QStringLiteral("-t: ") + failure(test));
    const Output list = run({"unzip", "-Z1", archive});
    if (list.exitCode != 0)
        return failed(QStringLiteral("-Z1: ") + failure(list));
    const QStringList names = lines(list.text);
    return catEach(names, [&](int i) {
        return QStringList {"unzip", "-p", archive, literalPattern(names.at(i))};
    });
}

const char pythonReader[] = R"(
import json, sys, zipfile, zlib
z = zipfile.ZipFile(sys.argv[1])
bad = z.testzip()
if bad is not None:
    print('! testzip fails on', ascii(bad))
for info in z.infolist():
    crc, size = 0, 0
    with z.open(info) as data:
        while block := data.read(1 << 20):
            crc, size = zlib.crc32(block, crc), size + len(block)
    print(info.filename.encode('utf-8').hex(), size, '%08x' % crc)
manifest = 'upgrade_package_config.json'
if manifest in z.namelist():
    listed = sorted(member['name'] for member in json.loads(z.read(manifest)).values())
    entries = sorted(name for name in z.namelist() if name != manifest)
    if listed != entries:
        print('! manifest names', ascii(listed), 'but entries', ascii(entries))
)";

Found pythonZipfile(const QString &archive, const QString &)
{
    return scriptListing(run({"python3", "-c", pythonReader, archive}));
}

Found sevenZip(const QString &archive, const QString &)
{
    // 7z t checks every entry's data against its CRC-32; the listing gives
    // the names, sizes and CRC-32s that were checked.
    const Output test = run({"7z", "t", archive});
    if (test.exitCode != 0 || !test.text.contains("Everything is Ok"))
        return failed(QStringLiteral("t: ") + failure(test));
    const Output list = run({"7z", "l", "-slt", archive});
    if (list.exitCode != 0)
        return failed(QStringLiteral("l: ") + failure(list));
    Found found;
    const QStringList listing = lines(list.text);
    const int start = listing.indexOf(QStringLiteral("----------"));
    for (const QString &line : listing.mid(start + 1)) {
        if (line.startsWith(QStringLiteral("Path = ")))
            found.entries.append({line.mid(7), 0, 0});
        else if (line.startsWith(QStringLiteral("Size = ")) && !found.entries.isEmpty())
            found.entries.last().size = line.mid(7).toULongLong();
        else if (line.startsWith(QStringLiteral("CRC = ")) && !found.entries.isEmpty())
            found.entries.last().crc = line.mid(6).toUInt(nullptr, 16);
    }
    if (start < 0)
        found.error = QStringLiteral("no listing: ") + failure(list);
    return found;
}

Found bsdtar(const QString &archive, bool fromPipe)
{
    const auto command = [&](const QStringList &arguments) {
        return fromPipe ? piped(archive, QStringList {"bsdtar"} + arguments + QStringList {"-"})
                        : QStringList {"bsdtar"} + arguments + QStringList {archive};
    };
    const Output list = run(command({"-tf"}));
    if (list.exitCode != 0 || !list.errors.isEmpty())
        return failed(QStringLiteral("-t: ") + failure(list));
    const QStringList names = lines(list.text);
    return catEach(names, [&](int i) {
        return command({"-xOf"}) + QStringList {literalPattern(names.at(i))};
    });
}

Found bsdtarFile(const QString &archive, const QString &)
{
    return bsdtar(archive, false);
}

Found bsdtarPipe(const QString &archive, const QString &)
{
    return bsdtar(archive, true);
}

// busybox unzip lists names with every byte outside ASCII as "?" and gives
// nothing, successfully, for a name it does not hold; extracting into a
// folder is the way to see what it makes of the names.
Found busybox(const QString &archive, const QString &scratch, bool fromPipe)
{
    const QString folder = scratch + (fromPipe ? "/busybox-pipe" : "/busybox-file");
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    const QStringList unzip {"busybox", "unzip", "-o", "-q", "-d", folder};
    const Output out
        = run(fromPipe ? piped(archive, unzip + QStringList {"-"}) : unzip + QStringList {archive});
    Found found;
    found.ordered = false;
    if (out.exitCode != 0 || !out.errors.isEmpty())
        found.error = failure(out);
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (found.error.isEmpty() && it.hasNext()) {
        const QString path = it.next();
        found.entries.append(fileDigest(QDir(folder).relativeFilePath(path), path));
    }
    QDir(folder).removeRecursively();
    return found;
}

Found busyboxFile(const QString &archive, const QString &scratch)
{
    return busybox(archive, scratch, false);
}

Found busyboxPipe(const QString &archive, const QString &scratch)
{
    return busybox(archive, scratch, true);
}

Found ziptool(const QString &archive, const QString &)
{
    // -c: libzip's consistency check of the central directory against the
    // local headers; cat reads an entry to its end, which checks its CRC.
    const Output count = run({"ziptool", "-c", archive, "get_num_entries", "0"});
    if (count.exitCode != 0)
        return failed(failure(count));
    QStringList stat {"ziptool", "-c", archive};
    for (int i = 0; i < count.text.split(' ').first().toInt(); ++i)
        stat << "stat" << QString::number(i);
    const Output stats = run(stat);
    if (stats.exitCode != 0)
        return failed(failure(stats));
    QStringList names;
    for (const QString &line : lines(stats.text)) {
        if (line.startsWith(QStringLiteral("name: '")) && line.endsWith(QLatin1Char('\'')))
            names << line.mid(7, line.size() - 8);
    }
    return catEach(names, [&](int i) {
        return QStringList {"ziptool", "-c", archive, "cat", QString::number(i)};
    });
}

const char javaReader[] = R"(
import java.io.*;
import java.util.zip.*;

public class ZipReaders {
    static void print(ZipEntry entry, InputStream data) throws IOException {
        CRC32 crc = new CRC32();
        long size = 0;
        byte[] block = new byte[1 << 16];
        for (int got; (got = data.read(block)) > 0; size += got)
            crc.update(block, 0, got);
        StringBuilder name = new StringBuilder();
        for (byte b : entry.getName().getBytes("UTF-8"))
            name.append(String.format("%02x", b));
        System.out.println(name + " " + size + " " + String.format("%08x", crc.getValue()));
    }

    public static void main(String[] args) throws IOException {
        if (args[0].equals("ZipFile")) {
            try (ZipFile zip = new ZipFile(args[1])) {
                for (var it = zip.entries(); it.hasMoreElements();) {
                    ZipEntry entry = it.nextElement();
                    try (InputStream data = zip.getInputStream(entry)) {
                        print(entry, data);
                    }
                }
            }
        } else {
            try (ZipInputStream zip = new ZipInputStream(
                     new BufferedInputStream(new FileInputStream(args[1])))) {
                for (ZipEntry entry; (entry = zip.getNextEntry()) != null;)
                    print(entry, zip);
            }
        }
    }
}
)";

Found java(const QString &archive, const QString &scratch, const char *mode)
{
    const QString source = scratch + "/ZipReaders.java";
    QFile file(source);
    if (!file.exists()
        && (!file.open(QIODevice::WriteOnly)
            || file.write(javaReader) != qint64(strlen(javaReader))))
        return failed(QStringLiteral("cannot write ") + source);
    file.close();
    return scriptListing(run({"java", source, mode, archive}));
}

Found javaZipFile(const QString &archive, const QString &scratch)
{
    return java(archive, scratch, "ZipFile");
}

Found javaZipInputStream(const QString &archive, const QString &scratch)
{
    return java(archive, scratch, "ZipInputStream");
}

using Reader = Found (*)(const QString &archive, const QString &scratch);

const QList<QPair<QString, Reader>> &readers()
{
    static const QList<QPair<QString, Reader>> all {
        {"unzip", unzipReader},
        {"python zipfile", pythonZipfile},
        {"7z", sevenZip},
        {"bsdtar", bsdtarFile},
        {"bsdtar from a pipe", bsdtarPipe},
        {"busybox unzip", busyboxFile},
        {"busybox unzip from a pipe", busyboxPipe},
        {"ziptool -c", ziptool},
        {"java ZipFile", javaZipFile},
        {"java ZipInputStream", javaZipInputStream},
    };
    return all;
}

QString quoted(const ExpectedEntries &entries)
{
    QStringList names;
    for (const ExpectedEntry &entry : entries)
        names << QLatin1Char('"') + entry.name + QLatin1Char('"');
    return QLatin1Char('[') + names.join(QStringLiteral(", ")) + QLatin1Char(']');
}

QString compare(Found found, ExpectedEntries expected)
{
    if (!found.error.isEmpty())
        return found.error;
    if (!found.ordered) {
        const auto byName
            = [](const ExpectedEntry &a, const ExpectedEntry &b) { return a.name < b.name; };
        std::sort(found.entries.begin(), found.entries.end(), byName);
        std::sort(expected.begin(), expected.end(), byName);
    }
    if (quoted(found.entries) != quoted(expected))
        return QStringLiteral("entries %1 instead of %2")
            .arg(quoted(found.entries), quoted(expected));
    QStringList wrong;
    for (int i = 0; i < expected.size(); ++i) {
        const ExpectedEntry &got = found.entries.at(i), &want = expected.at(i);
        if (got.size != want.size || got.crc != want.crc)
            wrong << QStringLiteral("%1: %2 bytes with CRC %3 instead of %4 bytes with CRC %5")
                         .arg(want.name)
                         .arg(got.size)
                         .arg(got.crc, 8, 16, QLatin1Char('0'))
                         .arg(want.size)
                         .arg(want.crc, 8, 16, QLatin1Char('0'));
    }
    return wrong.join(QStringLiteral("; "));
}

const char headerScript[] = R"(
import mmap, struct, sys
# Arguments after the path name the entries with ZIP64 extra fields: "name"
# in both headers, "name@central" in the central one only (a header past 4 GiB).
path = sys.argv[1]
zip64 = {n.rsplit('@', 1)[0].encode('utf-8', 'surrogateescape'): n.endswith('@central')
         for n in sys.argv[2:]}
archive = open(path, 'rb')
data = mmap.mmap(archive.fileno(), 0, access=mmap.ACCESS_READ)

def say(name, text):
    print((name.decode('utf-8', 'backslashreplace') + ': ' if name else '') + text)

def extras(blob, name):
    found, at = {}, 0
    while at + 4 <= len(blob):
        tag, size = struct.unpack_from('<HH', blob, at)
        found[tag] = blob[at + 4:at + 4 + size]
        at += 4 + size
    if at != len(blob):
        say(name, 'extra field runs past its length')
    return found

def wide(values, extra):
    # A field of 0xFFFFFFFF takes its value from the ZIP64 extra field, in order.
    field, at, out = extra.get(1, b''), 0, []
    for value in values:
        if value == 0xFFFFFFFF and at + 8 <= len(field):
            value = struct.unpack_from('<Q', field, at)[0]
            at += 8
        out.append(value)
    return out

end = data.rfind(b'PK\x05\x06')
if end < 0:
    say(None, 'no end of central directory record')
    sys.exit()
count, cd_size, cd_offset = struct.unpack_from('<HII', data, end + 10)
located = end >= 20 and data[end - 20:end - 16] == b'PK\x06\x07'
if located:
    record = struct.unpack_from('<Q', data, end - 12)[0]
    if data[record:record + 4] != b'PK\x06\x06':
        say(None, 'the ZIP64 locator points at no ZIP64 end record')
    else:
        count, cd_size, cd_offset = struct.unpack_from('<QQQ', data, record + 32)
if located != bool(zip64):
    say(None, 'ZIP64 end records ' + ('present' if located else 'missing'))

at, spans = cd_offset, []
for _ in range(count):
    if data[at:at + 4] != b'PK\x01\x02':
        say(None, 'central directory ends early')
        break
    (made, needed, flags, method, time, date, crc, csize, usize, nlen, elen, clen, _, _, _,
     offset) = struct.unpack_from('<HHHHHHIIIHHHHHII', data, at + 4)
    name = bytes(data[at + 46:at + 46 + nlen])
    central = extras(data[at + 46 + nlen:at + 46 + nlen + elen], name)
    at += 46 + nlen + elen + clen
    usize, csize, offset = wide([usize, csize, offset], central)
    if data[offset:offset + 4] != b'PK\x03\x04':
        say(name, 'no local header at its offset')
        continue
    (lneeded, lflags, lmethod, ltime, ldate, lcrc, lcsize, lusize, lnlen,
     lelen) = struct.unpack_from('<HHHHHIIIHH', data, offset + 4)
    lname = bytes(data[offset + 30:offset + 30 + lnlen])
    local = extras(data[offset + 30 + lnlen:offset + 30 + lnlen + lelen], name)
    lusize, lcsize = wide([lusize, lcsize], local)
    spans.append((offset, offset + 30 + lnlen + lelen + lcsize, name))

    if (flags | lflags) & 8:
        say(name, 'data descriptor flag (bit 3) set')
    try:
        name.decode('utf-8')
    except UnicodeDecodeError:
        say(name, 'name is not UTF-8')
    if bool(flags & 0x800) == name.isascii():
        say(name, 'bit 11 ' + ('set on an ASCII name' if name.isascii() else 'clear'))
    if made >> 8 != 3:
        say(name, 'made by host %d, not Unix' % (made >> 8))
    if method != 8:
        say(name, 'method %d, not deflate' % method)
    if lname != name:
        say(name, 'local header names it %r' % lname)
    fields = 'version needed, flags, method, time, date, CRC, compressed size, size'
    local_fields = (lneeded, lflags, lmethod, ltime, ldate, lcrc, lcsize, lusize)
    central_fields = (needed, flags, method, time, date, crc, csize, usize)
    if local_fields != central_fields:
        say(name, '%s: local %s, central %s' % (fields, local_fields, central_fields))
    if central.get(0x5455) != local.get(0x5455):
        say(name, 'extended timestamp: local %r, central %r' % (local.get(0x5455), central.get(0x5455)))
    carried = (1 in central, 1 in local)
    if carried != (name in zip64, name in zip64 and not zip64[name]):
        say(name, 'ZIP64 extra field in central and local header: %s, %s' % carried)

if at != cd_offset + cd_size:
    say(None, 'central directory size %d, entries take %d' % (cd_size, at - cd_offset))
previous = 0
for start, stop, name in sorted(spans):
    if start != previous:
        say(name, 'starts at %d, where the data before ends at %d' % (start, previous))
    previous = stop
if previous != cd_offset:
    say(None, 'the central directory starts at %d, the last data ends at %d' % (cd_offset, previous))
)";

} // namespace

ExpectedEntries expectedEntries(const NamedBytes &entries)
{
    ExpectedEntries expected;
    for (const auto &entry : entries)
        expected.append({entry.first, quint64(entry.second.size()),
                         quint32(crc32(0, reinterpret_cast<const Bytef *>(entry.second.constData()),
                                       uInt(entry.second.size())))});
    return expected;
}

ExpectedEntry expectedFileEntry(const QString &name, const QString &path)
{
    return fileDigest(name, path);
}

QStringList readerNames()
{
    QStringList names;
    for (const auto &reader : readers())
        names << reader.first;
    return names;
}

QStringList readerProblems(const QString &archive, const ExpectedEntries &expected,
                           const QStringList &names)
{
    QTemporaryDir scratch;
    QStringList problems;
    for (const QString &name : names) {
        const auto reader = std::find_if(readers().cbegin(), readers().cend(),
                                         [&](const auto &r) { return r.first == name; });
        if (reader == readers().cend()) {
            problems << name + QStringLiteral(": no such reader");
            continue;
        }
        const QString problem = compare(reader->second(archive, scratch.path()), expected);
        if (!problem.isEmpty())
            problems << name + QStringLiteral(": ") + problem;
    }
    return problems;
}

QStringList readerProblems(const QString &archive, const NamedBytes &expected)
{
    return readerProblems(archive, expectedEntries(expected));
}

QStringList headerProblems(const QString &archive, const QStringList &zip64Entries)
{
    const Output out = run(QStringList {"python3", "-c", headerScript, archive} + zip64Entries);
    if (out.exitCode != 0)
        return {QStringLiteral("header check: ") + failure(out)};
    return lines(out.text);
}
