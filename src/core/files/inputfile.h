#ifndef INPUTFILE_H
#define INPUTFILE_H

#include "fileerror.h"

#include <QString>

#include <memory>

// What a file was when it was looked at: enough to tell that it was changed
// (even in place with its modification time put back, which moves the
// change time) or that another file now stands at its path.
struct FileStamp
{
    quint64 device = 0;
    quint64 index = 0; // inode, or the file index on Windows
    quint64 size = 0;
    qint64 modifiedNs = 0; // since 1970-01-01 UTC
    qint64 changedNs = 0;
    quint32 permissions = 0644; // rwx bits for owner, group and others

    qint64 modifiedSeconds() const;
    bool operator==(const FileStamp &other) const;
    bool operator!=(const FileStamp &other) const { return !(*this == other); }
};

// A regular file opened for reading. Nothing else is opened: a folder, a
// FIFO or a device is refused without being waited on or acted upon, even
// when it is put at the path between the look and the open. Reads at an
// offset may come from any thread at once.
class InputFile
{
public:
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    static std::unique_ptr<InputFile> open(const QString &path, FileError *error);

    // The file as it was opened.
    const FileStamp &stamp() const { return opened; }
    quint64 size() const { return opened.size; }

    // Reads exactly length bytes at offset, within the size the file had when
    // it was opened; false when that cannot be done (a read error, which
    // lastError() then says, or a file cut short, which leaves it empty).
    bool readAt(quint64 offset, char *data, quint64 length) const;
    FileError lastError() const { return error; }

    // False when the file was written to, grew, shrank or had its times set
    // since it was opened.
    bool unchanged() const;

private:
    InputFile() = default;

    qintptr handle = -1;
    FileStamp opened;
    mutable FileError error;
};

// Whether a path can be looked at, without opening it: a link whose target
// is gone is missing, and a folder that may not be searched hides its files
// (NoPermission), which is not the same as their absence.
FileError lookAt(const QString &path);

// Who stands at a path (links not followed), for replacing only the file a
// user agreed to replace. A default stamp with exists false: nothing there.
struct FileIdentity
{
    bool exists = false;
    FileStamp stamp;

    static FileIdentity at(const QString &path);
    bool operator==(const FileIdentity &other) const
    {
        return exists == other.exists && (!exists || stamp == other.stamp);
    }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

#endif // INPUTFILE_H
