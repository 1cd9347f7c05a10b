#include "packagereport.h"

ReportedItem reportedItem(const QString &type, const PackageItem &item)
{
    return {type, item.name, item.entry.size, item.entry.crc};
}

ReportedFinding reportedFinding(const PackageFailure &failure, const QString &packagePath)
{
    return {problemCode(failure), problemEntry(failure),
            failure.path == packagePath ? problemText(failure) : packageMessage(failure).cause};
}

QString crc32Text(quint32 crc)
{
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
}

bool verdictCancelled(const PackageScreening &verdict)
{
    return !verdict.problems.isEmpty()
        && verdict.problems.first().kind == PackageFailure::Cancelled;
}

PackageReport packageReport(const PackageScreening &verdict)
{
    PackageReport report;
    report.package = verdict.package.path;
    report.cancelled = verdictCancelled(verdict);
    report.valid = verdict.taken();
    for (auto it = verdict.package.items.cbegin(); it != verdict.package.items.cend(); ++it)
        report.items.append(reportedItem(it.key(), it.value()));
    for (const PackageFailure &problem : verdict.problems)
        report.problems.append(reportedFinding(problem, report.package));
    for (const PackageFailure &note : verdict.notes)
        report.notes.append(reportedFinding(note, report.package));
    return report;
}
