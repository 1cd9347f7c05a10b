#ifndef OPENEDFILES_H
#define OPENEDFILES_H

#include <QString>
#include <QStringList>

// The files given to the program to open (on its command line, or by a file
// manager's "open with"): the window looks inside one package at a time, the
// first one given; every other file is named with why it was not opened.
struct OpenedFiles
{
    QString package; // the first package, or empty
    QStringList notOpened; // one line each: 「path」：why
};

// A package here is an existing regular file (after links) whose name ends
// in .zip or .kpz, in any case; whether it is a valid one, the look inside
// says.
OpenedFiles sortOpenedFiles(const QStringList &paths);

// The message's lines beneath its text: the first ones of notOpened, and
// how many there are in all when there are more.
QString notOpenedDetails(const QStringList &notOpened);

#endif // OPENEDFILES_H
