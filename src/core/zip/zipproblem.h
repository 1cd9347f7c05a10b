#ifndef ZIPPROBLEM_H
#define ZIPPROBLEM_H

#include <QString>

// What the ZIP layer found wrong with an archive or one of its entries, as
// facts: a code, the entry concerned, and what exactly. It words nothing;
// the layers above say it in their users' words.
struct ZipProblem
{
    enum Code {
        None,
        ReadError, // detail: the system's words
        SourceChanged, // the bytes are no longer those first read
        Cancelled,
        // the container: each one could let two readers see different archives
        NotZip, // what: why not
        TooManyEntries, // detail: the count
        DirectoryTooLarge,
        DataBeforeEntries, // detail: the byte count
        DataBetweenEntries, // entry: the one before the gap, or none
        DataAfterEnd,
        CommentHoldsEndRecord,
        Zip64Mismatch,
        EntriesOverlap,
        EntryPastEnd,
        LocalHeaderMismatch, // what: the field
        DataDescriptorMismatch,
        ExtraFieldInvalid, // what: the header
        UnicodePathMismatch, // detail: the name the field gives
        EntryTooLarge,
        NameTooLong, // entry: the name's start
        NameNotUtf8, // flagged UTF-8, but not UTF-8
        // an entry's data
        EntryCorrupt, // what: how
        UnsupportedMethod, // detail: the method's name
        EncryptedEntry,
    };

    // What exactly, where a code has several cases.
    enum What {
        Unspecified,
        // why an archive is no ZIP archive
        NoEndRecord,
        Truncated,
        SplitArchive,
        DirectoryMisplaced, // not where the end record says
        EntryCountWrong,
        DirectoryIncomplete,
        DirectorySizeWrong,
        Zip64FieldMissing, // of the entry
        // the local header field that disagrees with the central directory
        NoLocalHeader,
        NameField,
        FlagsField,
        MethodField,
        CrcField,
        SizesField,
        // the header whose extra fields do not tile
        CentralHeader,
        LocalHeader,
        // how an entry's data is not what it declares
        DataInvalid,
        BytesAfterStreamEnd,
        LongerThanDeclared,
        ShorterThanDeclared,
        StreamNotEnded, // at its declared length
        CrcMismatch,
        StoredSizeWrong,
    };

    Code code = None;
    What what = Unspecified;
    QString entry;
    QString detail;

    bool failed() const { return code != None; }
    static ZipProblem of(Code code, const QString &entry = QString(), What what = Unspecified,
                         const QString &detail = QString())
    {
        return {code, what, entry, detail};
    }
};

#endif // ZIPPROBLEM_H
