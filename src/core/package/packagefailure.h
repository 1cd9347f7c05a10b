#ifndef PACKAGEFAILURE_H
#define PACKAGEFAILURE_H

#include "fileerror.h"

#include <QMetaType>
#include <QString>

// Why a packaging run stopped, said as facts: which step refused or failed,
// why, and the file, folder or type concerned. packageMessage() turns it into
// the words the user reads, the same in the window and on the command line.
struct PackageFailure
{
    enum Kind {
        None,
        // the request
        NoOutputFolder,
        EmptyPackageName,
        PackageNameInvalid, // nameProblem, subject: the name, detail: the character
        ArchiveExists, // path: the archive that a run would replace
        ArchiveIsFolder, // path: the folder that stands where the archive goes
        TypeRepeated, // subject: the type's label
        ItemMissing, // subject: the row's label; path: the row's path
        ItemUnreadable, // subject: the row's label; path: the row's path
        ItemIsArchive, // subject: the row's label; path: the row's path
        FileNameRepeated, // subject: the file name
        FileNameUnportable, // subject: the file name; path; nameProblem, specifics
        // a combined package that is not taken
        PackageRefused,
        // writing the archive
        WriteFailed,
        Cancelled,
    };
    enum Reason {
        NoReason,
        NotFound,
        NotRegularFile,
        NoReadPermission,
        NoWritePermission,
        DiskFull,
        FileTooLarge, // path: the archive; detail: the limit, in words
        ArchiveInUse, // path: the archive another program holds open
        ArchiveAppeared, // with ArchiveExists: a file came to the path during the run
        ModifiedWhilePacking,
        ReadError, // detail: the system's words
        WriteError, // detail: the system's words
        NotZip, // detail: the library's or the reader's words
        // the container: each one could let two readers see different packages
        TooManyEntries, // detail: the count
        DirectoryTooLarge,
        DataBeforeEntries, // detail: the byte count
        DataBetweenEntries, // detail: the entry before the gap, or empty
        DataAfterEnd,
        CommentHoldsEndRecord,
        Zip64Mismatch,
        EntriesOverlap, // detail: the entry name
        EntryPastEnd, // detail: the entry name
        LocalHeaderMismatch, // detail: the entry name; specifics: the field
        DataDescriptorMismatch, // detail: the entry name
        ExtraFieldInvalid, // detail: the entry name; specifics: the header
        UnicodePathMismatch, // detail: the entry name; specifics: the field's name
        // the entries
        EntryTooLarge, // detail: the entry name
        EntryCorrupt, // detail: the entry name; specifics: what is wrong
        UnsupportedMethod, // detail: the entry name; specifics: the method
        EncryptedEntry, // detail: the entry name
        LinkEntry, // detail: the entry name
        UnsafeEntryName, // detail: the entry name
        UnportableEntryName, // detail: the entry name; nameProblem; specifics: the character
        EntryNameRepeated, // detail: the entry name
        // the manifest
        ManifestMissing,
        ManifestInFolder, // detail: the folder, with its trailing "/"
        ManifestTooLarge,
        ManifestNotObject,
        MemberInvalid, // key: the manifest key
        KeyImitatesType, // key: the manifest key; detail: the type key it imitates, or
                         // none: then nameProblem says what is wrong
        NamedEntryMissing, // key; detail: the name
        NamedEntryNotFile, // key; detail: the name
        PackageChanged,
        // notes: said about a package that is taken all the same
        EntryLeftOut, // detail: the entry name
    };

    // The part of the form at fault, so that the window can point at it.
    enum Field { NoField, OutputFolderField, PackageNameField };

    Kind kind = None;
    Reason reason = NoReason;
    Field field = NoField;
    int row = -1; // the item row at fault, from 0, or -1
    int nameProblem = 0; // a NameProblem::Kind
    QString path; // the file or folder concerned
    QString subject; // a label or a name, where the message's text needs one
    QString key; // a manifest key, where the cause needs one
    QString detail;
    QString specifics; // what exactly is wrong, where the cause needs it

    bool failed() const { return kind != None; }
};

// The words for a failure: the message's title and text, and the cause shown
// beneath them (empty where there is nothing more to say). Control and format
// characters in them, from names, keys and paths, are escaped (escapedText()),
// so that printing them cannot act on a terminal or hide a character.
struct PackageMessage
{
    QString title;
    QString text;
    QString cause;
};

// Paths appear in 「」 (displayPath()), so that a blank at an end shows; a
// path that was not found but exists without its end blanks is said so.
PackageMessage packageMessage(const PackageFailure &failure);

// A package problem's cause without the package's path, which inspect names
// once for all of them.
QString problemText(const PackageFailure &failure);

// A stable lower-case code for a failure's reason, for scripts that read the
// command line's JSON ("entry-corrupt", "manifest-missing", ...).
QString problemCode(const PackageFailure &failure);

// The entry a package problem is about, or an empty string.
QString problemEntry(const PackageFailure &failure);

// True when the failure lies in what the run was given to read (an item or a
// combined package: missing, unreadable, corrupt, changed) rather than in
// writing the archive.
bool isInputFailure(const PackageFailure &failure);

// Shorthands for the failures a step reports most.
PackageFailure writeFailure(PackageFailure::Reason reason, const QString &path,
                            const QString &detail = QString());
PackageFailure packageRefusal(PackageFailure::Reason reason, const QString &path,
                              const QString &detail = QString(), const QString &key = QString());

PackageFailure cancelledRun();

// The reason for a failed operation on a file, from what the system said.
PackageFailure::Reason reasonForReadError(const FileError &error);
PackageFailure::Reason reasonForWriteError(const FileError &error);

Q_DECLARE_METATYPE(PackageFailure)

#endif // PACKAGEFAILURE_H
