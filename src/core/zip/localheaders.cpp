#include "localheaders.h"

#include "nametext.h"
#include "zipformat.h"

#include <algorithm>

using namespace zipformat;

namespace {

using P = ZipProblem;

class LocalHeaderCheck
{
public:
    LocalHeaderCheck(const ByteSource &source, quint64 cdOffset, QList<ZipEntry> *entries,
                     QHash<int, QByteArray> *localExtras)
        : source(source)
        , cdOffset(cdOffset)
        , entries(entries)
        , localExtras(localExtras)
    {
    }

    ZipProblem run()
    {
        QList<ZipEntry *> byOffset;
        for (ZipEntry &entry : *entries)
            byOffset.append(&entry);
        std::stable_sort(
            byOffset.begin(), byOffset.end(),
            [](const ZipEntry *a, const ZipEntry *b) { return a->headerOffset < b->headerOffset; });
        const quint64 firstStart = byOffset.isEmpty() ? cdOffset : byOffset.first()->headerOffset;
        if (firstStart > 0)
            return ZipProblem::of(P::DataBeforeEntries, QString(), P::Unspecified,
                                  QString::number(firstStart));
        for (int i = 0; i < byOffset.size(); ++i) {
            ZipEntry &entry = *byOffset.at(i);
            const quint64 nextStart
                = i + 1 < byOffset.size() ? byOffset.at(i + 1)->headerOffset : cdOffset;
            const ZipProblem f = checkEntry(&entry, nextStart);
            if (f.failed())
                return f;
        }
        return ZipProblem();
    }

    ZipProblem checkEntry(ZipEntry *entry, quint64 nextStart)
    {
        const QString name = nameOf(*entry);
        QByteArray header;
        if (entry->headerOffset >= cdOffset)
            return ZipProblem::of(P::EntriesOverlap, name);
        if (!read(entry->headerOffset, localHeaderSize, &header))
            return ZipProblem::of(P::EntryPastEnd, name);
        const char *p = header.constData();
        if (le32(p) != localSignature)
            return ZipProblem::of(P::LocalHeaderMismatch, name, P::NoLocalHeader);
        const quint64 nameLength = le16(p + 26);
        const quint64 extraLength = le16(p + 28);
        QByteArray variable;
        if (!read(entry->headerOffset + localHeaderSize, nameLength + extraLength, &variable))
            return ZipProblem::of(P::EntryPastEnd, name);
        if (variable.left(int(nameLength)) != entry->rawName)
            return ZipProblem::of(P::LocalHeaderMismatch, name, P::NameField);
        const QByteArray localExtra = variable.mid(int(nameLength));
        if (!extraFieldsTile(localExtra))
            return ZipProblem::of(P::ExtraFieldInvalid, name, P::LocalHeader);
        localExtras->insert(entry->index, localExtra);
        if (le16(p + 6) != entry->flags)
            return ZipProblem::of(P::LocalHeaderMismatch, name, P::FlagsField);
        if (le16(p + 8) != entry->method)
            return ZipProblem::of(P::LocalHeaderMismatch, name, P::MethodField);

        quint64 crc = le32(p + 14), compressed = le32(p + 18), size = le32(p + 22);
        Zip64Extra zip64(localExtra);
        const bool wide = compressed == saturated32 || size == saturated32;
        quint64 wideSize = size, wideCompressed = compressed;
        // A local ZIP64 field holds both sizes, the uncompressed one first.
        if (wide && zip64.take(true, &wideSize) && zip64.take(true, &wideCompressed)) {
            size = wideSize;
            compressed = wideCompressed;
        }
        // With a data descriptor the local header may leave them at zero.
        const bool described = entry->flags & descriptorFlag;
        const auto agrees = [described](quint64 local, quint64 central) {
            return local == central || (described && local == 0);
        };
        if (!agrees(crc, entry->crc))
            return ZipProblem::of(P::LocalHeaderMismatch, name, P::CrcField);
        if (!agrees(compressed, entry->compressedSize) || !agrees(size, entry->size))
            return ZipProblem::of(P::LocalHeaderMismatch, name, P::SizesField);

        entry->dataOffset = entry->headerOffset + localHeaderSize + nameLength + extraLength;
        if (entry->dataOffset > source.size()
            || entry->compressedSize > source.size() - entry->dataOffset)
            return ZipProblem::of(P::EntryPastEnd, name);
        const quint64 dataEnd = entry->dataOffset + entry->compressedSize;
        if (dataEnd > nextStart)
            return ZipProblem::of(P::EntriesOverlap, name);
        const quint64 gap = nextStart - dataEnd;
        if (!described)
            return gap == 0 ? ZipProblem() : ZipProblem::of(P::DataBetweenEntries, name);
        return checkDescriptor(*entry, dataEnd, gap);
    }

    // A data descriptor fills the space to the next header exactly: with or
    // without its signature, with 32-bit or (for ZIP64) 64-bit sizes.
    ZipProblem checkDescriptor(const ZipEntry &entry, quint64 offset, quint64 length)
    {
        const QString name = nameOf(entry);
        const bool signed_ = length == 16 || length == 24;
        const bool wide = length == 20 || length == 24;
        QByteArray bytes;
        if (length != 12 && length != 16 && length != 20 && length != 24)
            return ZipProblem::of(length < 12 ? P::DataDescriptorMismatch : P::DataBetweenEntries,
                                  name);
        if (!read(offset, length, &bytes))
            return readFailure();
        const char *p = bytes.constData();
        if (signed_) {
            if (le32(p) != descriptorSignature)
                return ZipProblem::of(P::DataDescriptorMismatch, name);
            p += 4;
        }
        const quint64 crc = le32(p);
        const quint64 compressed = wide ? le64(p + 4) : le32(p + 4);
        const quint64 size = wide ? le64(p + 12) : le32(p + 8);
        if (crc != entry.crc || compressed != entry.compressedSize || size != entry.size)
            return ZipProblem::of(P::DataDescriptorMismatch, name);
        return ZipProblem();
    }

private:
    static QString nameOf(const ZipEntry &entry) { return utf8Text(entry.rawName); }

    bool read(quint64 offset, quint64 length, QByteArray *out) const
    {
        return readBytes(source, offset, length, out);
    }
    ZipProblem readFailure() const { return readProblem(source); }

    const ByteSource &source;
    quint64 cdOffset;
    QList<ZipEntry> *entries;
    QHash<int, QByteArray> *localExtras;
};

} // namespace

ZipProblem checkLocalHeaders(const ByteSource &source, quint64 directoryOffset,
                             QList<ZipEntry> *entries, QHash<int, QByteArray> *localExtras)
{
    return LocalHeaderCheck(source, directoryOffset, entries, localExtras).run();
}
