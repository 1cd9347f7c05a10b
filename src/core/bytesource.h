#ifndef BYTESOURCE_H
#define BYTESOURCE_H

#include "packagefailure.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <sys/stat.h>

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
    // (past the end, or an error, which systemError() then says).
    virtual bool readAt(quint64 offset, char *data, quint64 length) const = 0;
    virtual int systemError() const { return 0; }
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
    ~FileByteSource() override;
    // Opens path if it is a regular file once links are followed; a FIFO, a
    // device or a folder is refused without being waited on.
    static std::shared_ptr<FileByteSource> open(const QString &path, PackageFailure::Reason *reason,
                                                int *error);
    quint64 size() const override { return quint64(opened.st_size); }
    bool readAt(quint64 offset, char *data, quint64 length) const override;
    int systemError() const override { return lastError; }
    bool unchanged() const override;

private:
    FileByteSource() = default;
    int fd = -1;
    struct stat opened
    {
    };
    mutable int lastError = 0;
};

#endif // BYTESOURCE_H
