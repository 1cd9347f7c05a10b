#ifndef SYSTEM_H
#define SYSTEM_H

#include <QString>

#include <ctime>

// Small facts of the operating system that the layers above need.

// The local date and time of a moment, in the system's time zone; false when
// the system cannot say.
bool localTimeOf(qint64 unixSeconds, struct tm *local);

// Past a file-size limit a write is to fail with an error that says so,
// rather than kill the process without a word.
void failWritesPastFileSizeLimit();

// The largest file that may be written into a folder, where a limit is known:
// the process's own (ulimit -f), or the file system's (FAT32: 4 GiB - 1).
struct FileSizeLimit
{
    enum Source { Unknown, Process, FileSystem };
    Source source = Unknown;
    quint64 bytes = 0;
};
FileSizeLimit fileSizeLimitFor(const QString &folder);

#endif // SYSTEM_H
