#ifndef PACKAGEWRITER_H
#define PACKAGEWRITER_H

#include "inputfile.h"
#include "packagefailure.h"
#include "packageitem.h"
#include "runcontrol.h"

#include <QString>

struct WriteOptions
{
    // Threads that deflate items and check copied entries (0: one per core).
    // With one, each item is one ordinary zlib stream; with more, a stream of
    // blocks deflated side by side, which differs only in where its deflate
    // blocks end.
    int jobs = 0;
    // The file at the archive's path that the user agreed to replace, as it
    // was when they agreed. No other file is ever replaced.
    FileIdentity replaceable;
    // When another file stands at the path at the end: ask the run's watcher
    // (RunControl::askToReplaceOther()) rather than fail.
    bool askBeforeReplacingOther = false;
};

// Where a written archive is, and its size. Its folder is held open while
// the run lasts, so an archive whose folder was moved meanwhile lands there.
struct WrittenArchive
{
    QString path;
    quint64 size = 0;
    bool folderMoved = false;
};

// Writes a package: the items at the archive's root in ascending key order,
// then the manifest from memory. Every entry is deflated (level 6), named in
// UTF-8 and carries its source's date and time and permission bits, and an
// extended-timestamp field with its UTC modification time where that is
// known (a plain file's; a copied entry's own, from its UT or NTFS field).
// - A plain item is read once; it fails the run when it is not a regular file
//   or when it changes while it is read (size, times, or more or fewer bytes).
// - An item of a combined package is read as `inspect` reads it: copied as it
//   is stored when it is deflated, else inflated and deflated again; either
//   way it must be exactly what its entry declares, or the run fails. Its
//   date and time are copied as they are stored.
// The archive is written into a file without a name in the archive's folder
// (which must exist) and put in place only when complete, so a failed,
// cancelled or killed run leaves whatever stood there before, and nothing
// else. Progress, cancel and holding before the archive is put in place go
// through control; its counters are set here, its cancel flag is not reset.
PackageFailure writePackage(const QString &archivePath, const PackageItems &items,
                            RunControl *control, const WriteOptions &options = WriteOptions(),
                            WrittenArchive *written = nullptr);

Q_DECLARE_METATYPE(WriteOptions)
Q_DECLARE_METATYPE(WrittenArchive)

#endif // PACKAGEWRITER_H
