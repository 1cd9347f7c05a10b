#ifndef ZIPEND_H
#define ZIPEND_H

#include "bytesource.h"
#include "zipproblem.h"

// Where a ZIP archive's central directory lies and how many entries it holds,
// as its end record, and its ZIP64 end record where there is one, say.
struct CentralDirectoryPlace
{
    quint64 offset = 0;
    quint64 size = 0;
    quint64 count = 0;
};

// The most entries a package may hold: what a ZIP file without ZIP64 records
// can count, and more than any upgrade package needs.
constexpr int maximumEntryCount = 65535;

// Finds the one end record that every reader finds and refuses, with the
// first problem found:
// - bytes after the end record and its comment, but zero bytes of padding
//   (bsdtar pads what it writes to a pipe to its block size), as long as the
//   end record stays within the last 65,557 bytes, where readers look for it;
// - a comment that holds an end-record signature;
// - a ZIP64 record that disagrees with the end record; more than one disk;
// - more than 65,535 entries (decided from the end record alone), a central
//   directory over 64 MiB, or one that does not end where the end record (or
//   the ZIP64 end record) begins.
ZipProblem locateCentralDirectory(const ByteSource &source, CentralDirectoryPlace *place);

#endif // ZIPEND_H
