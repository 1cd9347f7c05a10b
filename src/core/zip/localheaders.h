#ifndef LOCALHEADERS_H
#define LOCALHEADERS_H

#include "bytesource.h"
#include "zipcontainer.h"
#include "zipproblem.h"

#include <QHash>
#include <QList>

// Checks that the entries of a central directory, with their local headers,
// data and data descriptors, tile the file from its first byte to the
// central directory: nothing before, between or overlapping them, and every
// local header saying what the central directory says (a data descriptor may
// carry the CRC-32 and sizes, and must then agree too). Sets each entry's
// dataOffset, and hands out each local header's extra block by entry index.
ZipProblem checkLocalHeaders(const ByteSource &source, quint64 directoryOffset,
                             QList<ZipEntry> *entries, QHash<int, QByteArray> *localExtras);

#endif // LOCALHEADERS_H
