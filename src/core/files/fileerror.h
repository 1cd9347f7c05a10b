#ifndef FILEERROR_H
#define FILEERROR_H

#include <QString>

// Why an operation on a file failed, as the operating system put it. The
// layers above choose their own words from kind; words are the system's.
struct FileError
{
    enum Kind {
        None,
        NotFound,
        NotRegularFile, // a folder, a FIFO, a device: never opened
        NoPermission,
        DiskFull,
        FileTooLarge, // a file-size limit: the process's, or the file system's
        Exists, // a file stands where one was to be put, and may not be replaced
        InUse, // another program holds the file, so it cannot be replaced
        Other,
    };

    Kind kind = None;
    int code = 0; // errno, or GetLastError() on Windows
    QString words; // the system's words for code

    bool failed() const { return kind != None; }

    // The error the last failed system call on this thread left.
    static FileError last();
    // The error for a system error code.
    static FileError fromCode(int code);
    static FileError of(Kind kind) { return {kind, 0, QString()}; }
};

#endif // FILEERROR_H
