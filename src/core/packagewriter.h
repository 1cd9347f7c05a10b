#ifndef PACKAGEWRITER_H
#define PACKAGEWRITER_H

#include "packagefailure.h"
#include "packageitem.h"
#include "runcontrol.h"

#include <QString>

// Writes a package: the items at the archive's root in ascending key order,
// then the manifest from memory. Every entry is deflated (level 6), named in
// UTF-8 and carries its source's modification time and permission bits.
// - A plain item is read once; it fails the run when it is not a regular file
//   or when it changes while it is read (size, time, or more or fewer bytes).
// - An item of a combined package is copied from the package as it is stored
//   when it is deflated, else inflated and deflated again; either way its
//   CRC-32 and size are checked on the way, and a mismatch fails the run.
// The archive is written beside archivePath and renamed into place only when
// complete, so a failed or cancelled run leaves whatever stood there before.
// Missing folders on the way to archivePath are created. Progress and cancel
// go through control; its counters are set here, its cancel flag is not reset.
PackageFailure writePackage(const QString &archivePath, const PackageItems &items,
                            RunControl *control);

#endif // PACKAGEWRITER_H
