#include "headerpatch.h"

#include "bytesource.h"
#include "zipcontainer.h"

namespace {

// The archive being written, as the container reader reads it.
class WrittenBytes : public ByteSource
{
public:
    explicit WrittenBytes(const ArchiveFile &archive)
        : archive(archive)
    {
    }
    quint64 size() const override { return archive.size(); }
    bool readAt(quint64 offset, char *data, quint64 count) const override
    {
        return offset <= size() && count <= size() - offset && archive.readAt(offset, data, count);
    }

private:
    const ArchiveFile &archive;
};

bool writeDosTime(ArchiveFile *archive, quint64 offset, const DosTime &dos)
{
    const char bytes[4]
        = {char(dos.time), char(dos.time >> 8), char(dos.date), char(dos.date >> 8)};
    return archive->writeAt(offset, bytes, 4);
}

} // namespace

TimesPatch setEntryTimes(ArchiveFile *archive, const QList<DosTime> &wanted)
{
    if (!archive->flush())
        return TimesPatch::WriteFailed;
    const WrittenBytes written(*archive);
    ZipContainer container;
    if (readZipContainer(written, &container).failed() || container.entries.size() != wanted.size())
        return TimesPatch::Unreadable;
    for (int i = 0; i < container.entries.size(); ++i) {
        const ZipEntry &entry = container.entries.at(i);
        const DosTime time = wanted.at(i);
        if (entry.dosTime == time.time && entry.dosDate == time.date)
            continue;
        // The local header's time is at offset 10, the central header's at 12.
        if (!writeDosTime(archive, entry.headerOffset + 10, time)
            || !writeDosTime(archive, entry.centralOffset + 12, time))
            return TimesPatch::WriteFailed;
    }
    return TimesPatch::Done;
}
