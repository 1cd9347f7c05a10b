#ifndef BYTESOURCE_H
#define BYTESOURCE_H

#include "fileerror.h"
#include "inputfile.h"

#include <QByteArray>
#include <QString>

#include <memory>

// Bytes that can be read at any offset, from any thread: an open regular
// file or a block of memory. A package is read through one of these from the
// moment it is screened until its entries are copied, so the bytes copied are
// those of the file that was screened, even if the path is replaced meanwhile.
class ByteSource
{
public:
    virtual ~ByteSource() = default;
    virtual quint64 size() const = 0;
    // Reads exactly length bytes at offset; false when that cannot be done
    // (past the end, or an error, which lastError() then says).
    virtual bool readAt(quint64 offset, char *data, quint64 length) const = 0;
    virtual FileError lastError() const { return FileError(); }
    // False when the file was changed since it was opened.
    virtual bool unchanged() const { return true; }
};

class MemoryByteSource : public ByteSource
{
public:
    explicit MemoryByteSource(QByteArray bytes)
        : bytes(std::move(bytes))
    {
    }
    quint64 size() const override { return quint64(bytes.size()); }
    bool readAt(quint64 offset, char *data, quint64 length) const override;

private:
    QByteArray bytes;
};

class FileByteSource : public ByteSource
{
public:
    // Opens path if it is a regular file once links are followed; a FIFO, a
    // device or a folder is refused without being waited on.
    static std::shared_ptr<FileByteSource> open(const QString &path, FileError *error);
    quint64 size() const override { return file->size(); }
    bool readAt(quint64 offset, char *data, quint64 length) const override
    {
        return file->readAt(offset, data, length);
    }
    FileError lastError() const override { return file->lastError(); }
    bool unchanged() const override { return file->unchanged(); }

private:
    explicit FileByteSource(std::unique_ptr<InputFile> file)
        : file(std::move(file))
    {
    }
    std::unique_ptr<InputFile> file;
};

#endif // BYTESOURCE_H
