#ifndef PACKAGEREPORT_H
#define PACKAGEREPORT_H

#include "combinedpackage.h"
#include "packagefailure.h"

#include <QList>
#include <QMetaType>
#include <QString>

// inspect's report on a package, in the words and codes that the command
// line prints and the window shows: one verdict, said one way.

// An item of the package, as its manifest keys it.
struct ReportedItem
{
    QString type; // the manifest's key
    QString name; // the entry's name
    quint64 size = 0;
    quint32 crc = 0;
};

// A problem or a note: its stable code, the entry it is about (or an empty
// string), and its words without the package's path, which every one of them
// is about.
struct ReportedFinding
{
    QString code;
    QString entry;
    QString message;
};

struct PackageReport
{
    QString package; // the path as it was given
    bool valid = false;
    bool cancelled = false; // the reading was interrupted: nothing else holds
    QList<ReportedItem> items;
    QList<ReportedFinding> problems;
    QList<ReportedFinding> notes;
};

ReportedItem reportedItem(const QString &type, const PackageItem &item);
ReportedFinding reportedFinding(const PackageFailure &failure, const QString &packagePath);

// A CRC-32 as inspect writes it: eight lower-case hexadecimal digits.
QString crc32Text(quint32 crc);

// Whether a verdict is only that its reading was interrupted.
bool verdictCancelled(const PackageScreening &verdict);

// The whole report on a verdict. (The command line, which may report tens of
// thousands of findings, writes each as it goes instead of holding them.)
PackageReport packageReport(const PackageScreening &verdict);

Q_DECLARE_METATYPE(PackageReport)

#endif // PACKAGEREPORT_H
