#ifndef PORTABLENAME_H
#define PORTABLENAME_H

#include <QString>

// What keeps a file name from working on every system a package travels to:
// Linux, Windows (NTFS) and FAT/exFAT USB sticks.
struct NameProblem
{
    enum Kind {
        None,
        Empty,
        Separator, // character: '/' or '\'
        DotName, // "." or ".."
        ForbiddenCharacter, // character: one of < > : " | ? *
        ControlCharacter, // character: a control or (invisible) format character
        DeviceName, // a Windows device name such as CON or COM1
        LeadingBlank,
        TrailingBlank,
        TrailingDot,
        TooLong, // over 255 bytes of UTF-8
        InvalidText, // character: a surrogate without its other half; or bytes
                     // that are not valid in their encoding
    };
    Kind kind = None;
    QString character; // one character: one or two UTF-16 units

    bool found() const { return kind != None; }
};

// The first problem of a name that a file of its own must carry, or None.
// A leading blank is allowed here: Windows keeps it.
NameProblem portableNameProblem(const QString &name);

// The same, but a leading blank is a problem too: a name the user types,
// where a leading blank is a slip.
NameProblem typedNameProblem(const QString &name);

// The key under which two names are one file on Windows: NFC, case folded,
// trailing dots and blanks dropped.
QString windowsFoldedName(const QString &name);

// The most bytes a file name may take on the file systems a package meets.
constexpr int fileNameByteLimit = 255;

#endif // PORTABLENAME_H
