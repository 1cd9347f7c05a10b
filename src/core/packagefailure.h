#ifndef PACKAGEFAILURE_H
#define PACKAGEFAILURE_H

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
        TypeRepeated, // subject: the type's label
        ItemMissing, // subject: the row's label; path: the row's path
        ItemUnreadable, // subject: the row's label; path: the row's path
        ItemIsArchive, // subject: the row's label; path: the row's path
        FileNameRepeated, // subject: the file name
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
        ModifiedWhilePacking,
        ReadError, // detail: the system's words
        WriteError, // detail: the system's words
        NotZip, // detail: the library's words
        EntryNameRepeated, // detail: the entry name
        UnsafeEntryName, // detail: the entry name
        LinkEntry, // detail: the entry name
        EncryptedEntry, // detail: the entry name
        UnsupportedMethod, // detail: the entry name
        ManifestMissing,
        ManifestTooLarge,
        ManifestNotObject,
        MemberInvalid, // key: the manifest key
        KeyCaseClash, // key: the manifest key; detail: the type key it imitates
        NamedEntryMissing, // key; detail: the name
        NamedEntryNotFile, // key; detail: the name
        UnnamedEntry, // detail: the entry name
        EntryCorrupt, // detail: the entry name
        PackageChanged,
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

    bool failed() const { return kind != None; }
};

// The words for a failure: the message's title and text, and the cause shown
// beneath them (empty where there is nothing more to say).
struct PackageMessage
{
    QString title;
    QString text;
    QString cause;
};

PackageMessage packageMessage(const PackageFailure &failure);

// Shorthands for the failures a step reports most.
PackageFailure writeFailure(PackageFailure::Reason reason, const QString &path,
                            const QString &detail = QString());
PackageFailure packageRefusal(PackageFailure::Reason reason, const QString &path,
                              const QString &detail = QString(), const QString &key = QString());

PackageFailure cancelledRun();

// The reason for a failed system call on a file, from its errno.
PackageFailure::Reason reasonForReadError(int error);
PackageFailure::Reason reasonForWriteError(int error);

Q_DECLARE_METATYPE(PackageFailure)

#endif // PACKAGEFAILURE_H
