#include "bytesource.h"

#include <cstring>

bool MemoryByteSource::readAt(quint64 offset, char *data, quint64 length) const
{
    if (offset > size() || length > size() - offset)
        return false;
    std::memcpy(data, bytes.constData() + offset, size_t(length));
    return true;
}

std::shared_ptr<FileByteSource> FileByteSource::open(const QString &path, FileError *error)
{
    std::unique_ptr<InputFile> file = InputFile::open(path, error);
    if (!file)
        return nullptr;
    return std::shared_ptr<FileByteSource>(new FileByteSource(std::move(file)));
}
