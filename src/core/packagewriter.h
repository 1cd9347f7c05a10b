#ifndef PACKAGEWRITER_H
#define PACKAGEWRITER_H

#include "packagefailure.h"
#include "packageitem.h"
#include "runcontrol.h"

#include <QString>

// Writes a package: the items at the archive's root in ascending key order,
// then the manifest from memory. Every entry is deflated (level 6), named in
// UTF-8 and carries its source's date and time and permission bits.
// - A plain item is read once; it fails the run when it is not a regular file
//   or when it changes while it is read (size, time, or more or fewer bytes).
// - An item of a combined package is read as `inspect` reads it: copied as it
//   is stored when it is deflated, else inflated and deflated again; either
//   way it must be exactly what its entry declares, or the run fails. Its
//   date and time are copied as they are stored.
// The archive is written into a file without a name in the archive's folder
// (which must exist) and put in place only when complete, so a failed,
// cancelled or killed run leaves whatever stood there before, and nothing
// else. Progress and cancel go through control; its counters are set here,
// its cancel flag is not reset.
// jobs is the number of threads that deflate items and check copied entries
// (0: one per core). With one, each item is one ordinary zlib stream; with
// more, a stream of blocks deflated side by side, which differs only in where
// its deflate blocks end.
PackageFailure writePackage(const QString &archivePath, const PackageItems &items,
                            RunControl *control, int jobs = 0);

#endif // PACKAGEWRITER_H
