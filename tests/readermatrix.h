#ifndef READERMATRIX_H
#define READERMATRIX_H

// ZIP readers that share no code with the writer, run on one archive, and the
// header rules every package keeps, checked on its raw bytes.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// One entry as a reader must see it: its name and the size and CRC-32 of the
// bytes it gives.
struct ExpectedEntry
{
    QString name;
    quint64 size = 0;
    quint32 crc = 0;
};
using ExpectedEntries = QList<ExpectedEntry>;
using NamedBytes = QList<QPair<QString, QByteArray>>;

ExpectedEntries expectedEntries(const NamedBytes &entries);
// An entry holding a file's bytes, read in pieces (the file may be huge).
ExpectedEntry expectedFileEntry(const QString &name, const QString &path);

// Every reader of the matrix, by the label its problems carry.
QStringList readerNames();

// Runs the archive through the readers named and returns one line per reader
// that did not give exactly the expected entries, in this order (a reader that
// extracts into a folder: in any order), with these bytes. A reader that is
// not installed, fails or finds fault with the archive is wrong too.
QStringList readerProblems(const QString &archive, const ExpectedEntries &expected,
                           const QStringList &readers = readerNames());
QStringList readerProblems(const QString &archive, const NamedBytes &expected);

// Checks the headers on the archive's raw bytes and returns what breaks the
// rules: every entry deflated, without a data descriptor, named in UTF-8 with
// bit 11 set exactly when the name is not ASCII, made by Unix, its local
// header agreeing with its central one (version needed, flags, method, time,
// CRC, sizes) and its data ending where the next header starts. Only the
// entries named in zip64Entries carry a ZIP64 extra field ("name@central": in
// the central header only, for a header past 4 GiB), and the ZIP64 end
// records are there exactly when some entry does.
QStringList headerProblems(const QString &archive, const QStringList &zip64Entries = {});

#endif // READERMATRIX_H
