#ifndef HEADERPATCH_H
#define HEADERPATCH_H

#include "archivefile.h"
#include "dostime.h"

#include <QList>

// Gives the entries of an archive just written, in order, the DOS dates and
// times wanted, in their local and central headers alike. libzip takes entry
// times through the local time zone, which moves a time that falls into a
// daylight-saving gap by an hour. The archive is read back for that through
// the same container reader that screens archives, so an archive that
// reader would refuse is never used.
enum class TimesPatch {
    Done,
    Unreadable, // the reader refuses the archive, or it holds other entries
    WriteFailed, // the archive file's error() says why
};
TimesPatch setEntryTimes(ArchiveFile *archive, const QList<DosTime> &wanted);

#endif // HEADERPATCH_H
