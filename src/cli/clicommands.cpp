#include "clicommands.h"

#include "appversion.h"
#include "combinedpackage.h"
#include "console.h"
#include "displaypath.h"
#include "packagereport.h"
#include "packagingrun.h"
#include "packagewriter.h"
#include "upgradeitemtypes.h"
#include "visibletext.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const QString program = QStringLiteral("upgrade-package-cli");
const QString combinedType = QStringLiteral("combined");

QTextStream &out()
{
    return standardOutput();
}

QTextStream &err()
{
    return standardError();
}

int usageError(const QString &message)
{
    err() << program << ": " << message << "\n"
          << "Try '" << program << " --help' for more information.\n";
    err().flush();
    return ExitUsage;
}

// QCommandLineParser's help, its usage line naming the program (and command)
// as it is typed rather than the path it was started by.
void printHelp(QCommandLineParser &parser, const QString &usage, const QString &commands)
{
    QString text = parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: ") + usage);
    out() << text << commands;
    out().flush();
}

// ---- build ------------------------------------------------------------------

int exitFor(const PackageFailure &failure)
{
    if (!failure.failed())
        return ExitSuccess;
    if (failure.kind == PackageFailure::Cancelled)
        return interruptionExitCode() ? interruptionExitCode() : ExitCancelled;
    // The same cause gives the same code, whether a plain item or a combined
    // package met it, before or while the archive was written.
    return isInputFailure(failure) ? ExitRefused : ExitFailed;
}

void printFailure(const PackageFailure &failure)
{
    const PackageMessage message = packageMessage(failure);
    if (failure.kind == PackageFailure::Cancelled)
        err() << program << QStringLiteral(": 已取消打包\n");
    else
        err() << message.title << ": " << message.text << "\n";
    if (!message.cause.isEmpty())
        err() << message.cause << "\n";
    err().flush();
}

// Writes the archive on a thread of its own while this one reports progress
// on a terminal; a signal cancels it through control.
PackageFailure writeWithProgress(const PackagingOutcome &prepared, RunControl *control, bool quiet,
                                 const WriteOptions &options, WrittenArchive *written)
{
    PackageFailure failure;
    std::atomic<bool> finished {false};
    std::thread writer([&] {
        failure = writePackage(prepared.archivePath, prepared.items, control, options, written);
        finished = true;
    });
    const bool terminal = !quiet && standardErrorIsTerminal();
    QStringList names;
    for (const PackageItem &item : prepared.items)
        names.append(item.name);
    while (!finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int item = control->currentItem();
        if (terminal && item >= 0 && item < names.size()) {
            // One arg() call, so that a "%3" inside a name stays as it is.
            err() << QStringLiteral("\r\x1b[K%1% %2 (%3/%4)")
                         .arg(QString::number(control->percent()).rightJustified(2), names.at(item),
                              QString::number(item + 1), QString::number(names.size()));
            err().flush();
        }
    }
    writer.join();
    if (terminal) {
        err() << "\r\x1b[K";
        err().flush();
    }
    return failure;
}

// The chooser index for a TYPE given on the command line: a type key, the
// label the window shows, "combined", or "controller" for "dravo".
int typeIndexFor(const QString &type)
{
    if (type == combinedType)
        return combinedPackageTypeIndex;
    if (type == QLatin1String("controller"))
        return upgradeTypeKeys.indexOf(QStringLiteral("dravo"));
    const int key = upgradeTypeKeys.indexOf(type);
    if (key >= 0)
        return key;
    for (int index = 0; index <= combinedPackageTypeIndex; ++index) {
        if (typeLabelForIndex(index) == type)
            return index;
    }
    return -1;
}

bool parseItem(const QString &value, RequestRow *row, QString *problem)
{
    const int equals = value.indexOf(QLatin1Char('='));
    const QString type = value.left(equals);
    if (equals <= 0 || equals == value.size() - 1) {
        *problem = QStringLiteral("--item takes TYPE=PATH, not '%1'").arg(value);
        return false;
    }
    const int index = typeIndexFor(type);
    if (index < 0) {
        *problem = QStringLiteral("unknown item type '%1' (one of %2, %3)")
                       .arg(type, upgradeTypeKeys.join(QStringLiteral(", ")), combinedType);
        return false;
    }
    *row = {index, value.mid(equals + 1)};
    return true;
}

int build(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Builds a combined upgrade package, with the same checks and the same entries as the "
            "window.\nTYPE is one of: %1, %2; \"controller\" is \"dravo\", and the window's labels "
            "(HMI, 控制器, ...) are taken too.")
            .arg(upgradeTypeKeys.join(QStringLiteral(", ")), combinedType));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on this command."));
    const QCommandLineOption folder(QStringLiteral("output-dir"),
                                    QStringLiteral("The folder to write the package into."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption name(QStringLiteral("name"),
                                  QStringLiteral("The package name, without \".zip\"."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption item(QStringLiteral("item"),
                                  QStringLiteral("An upgrade item; repeat it for every item, in "
                                                 "the order of the window's rows."),
                                  QStringLiteral("TYPE=PATH"));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("Replaces an archive that stands at the path."));
    const QCommandLineOption replace(
        QStringLiteral("replace"),
        QStringLiteral("Lets --item files replace the items of the same types of the combined "
                       "package (the last release with one item new)."));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Prints nothing on success."));
    const QCommandLineOption jobs(
        {QStringLiteral("j"), QStringLiteral("jobs")},
        QStringLiteral("Threads that deflate items and check copied entries (default: one per "
                       "core); 1 writes each item as one ordinary deflate stream."),
        QStringLiteral("N"));
    parser.addOptions({help, folder, name, item, force, replace, quiet, jobs});
    if (!parser.parse(QStringList {program + QStringLiteral(" build")} + arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        printHelp(parser, program + QStringLiteral(" build [options]"), QString());
        return ExitSuccess;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    if (!parser.isSet(folder) || !parser.isSet(name))
        return usageError(QStringLiteral("build needs --output-dir and --name"));

    bool jobsValid = true;
    const int jobCount = parser.isSet(jobs) ? parser.value(jobs).toInt(&jobsValid) : 0;
    if (!jobsValid || (parser.isSet(jobs) && (jobCount < 1 || jobCount > 64)))
        return usageError(
            QStringLiteral("--jobs takes a number from 1 to 64, not '%1'").arg(parser.value(jobs)));

    PackageRequest request {parser.value(folder), parser.value(name), {},
                            parser.isSet(replace)};
    for (const QString &value : parser.values(item)) {
        RequestRow row;
        QString problem;
        if (!parseItem(value, &row, &problem))
            return usageError(problem);
        request.rows.append(row);
    }

    RunControl control;
    const Interruptible interruptible(&control);
    PackagingOutcome prepared = preparePackaging(request, &control);
    WriteOptions options;
    options.jobs = jobCount;
    // --force agrees to replace the file that stands there now, and no other:
    // one that comes during the run stays, and the run fails.
    const FileIdentity standing = FileIdentity::at(prepared.archivePath);
    if (parser.isSet(force))
        options.replaceable = standing;
    if (!prepared.failure.failed() && !parser.isSet(force) && standing.exists) {
        prepared.failure.kind = PackageFailure::ArchiveExists;
        prepared.failure.path = prepared.archivePath;
    }
    if (!prepared.failure.failed() && control.isCancelRequested())
        prepared.failure = cancelledRun();
    WrittenArchive written;
    if (!prepared.failure.failed())
        prepared.failure
            = writeWithProgress(prepared, &control, parser.isSet(quiet), options, &written);
    if (prepared.failure.failed()) {
        printFailure(prepared.failure);
        return exitFor(prepared.failure);
    }
    const QString path = displayPath(written.path);
    if (!parser.isSet(quiet)) {
        for (const Replacement &replacement : qAsConst(prepared.replacements))
            err() << escapedText(replacementText(replacement)) << "\n";
        err().flush();
    }
    if (written.folderMoved) {
        err() << QStringLiteral("输出文件夹在打包期间被移动，升级包在：") << quotedPath(path)
              << "\n";
        err().flush();
    }
    if (!parser.isSet(quiet)) {
        out() << path << "\t" << written.size << "\n";
        out().flush();
    }
    return ExitSuccess;
}

// ---- inspect ----------------------------------------------------------------

// Problems or notes as {"code", "entry", "message"} objects.
QJsonArray reportList(const QList<PackageFailure> &failures, const QString &path)
{
    QJsonArray list;
    for (const PackageFailure &failure : failures) {
        const ReportedFinding finding = reportedFinding(failure, path);
        list.append(
            QJsonObject {{QStringLiteral("code"), finding.code},
                         {QStringLiteral("entry"),
                          finding.entry.isEmpty() ? QJsonValue() : QJsonValue(finding.entry)},
                         {QStringLiteral("message"), finding.message}});
    }
    return list;
}

int inspect(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks a package as the window checks a combined package, and every entry's CRC-32.\n"
        "Exit code 0 when the package would be taken and every entry is intact, else 1."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on this command."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Prints one JSON object instead of text."));
    parser.addOptions({help, json});
    parser.addPositionalArgument(QStringLiteral("PACKAGE"),
                                 QStringLiteral("The package to check."));
    if (!parser.parse(QStringList {program + QStringLiteral(" inspect")} + arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        printHelp(parser, program + QStringLiteral(" inspect [options] PACKAGE"), QString());
        return ExitSuccess;
    }
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("inspect takes one PACKAGE"));
    const QString path = parser.positionalArguments().first();

    RunControl control;
    const Interruptible interruptible(&control);
    const PackageScreening verdict = inspectPackage(path, &control);
    if (verdictCancelled(verdict)) {
        printFailure(verdict.problems.first());
        return exitFor(verdict.problems.first());
    }
    const bool valid = verdict.taken();

    if (parser.isSet(json)) {
        QJsonArray items;
        for (auto it = verdict.package.items.cbegin(); it != verdict.package.items.cend(); ++it) {
            const ReportedItem item = reportedItem(it.key(), it.value());
            items.append(QJsonObject {{QStringLiteral("type"), item.type},
                                      {QStringLiteral("name"), item.name},
                                      // Sizes are at most 2^53, which a JSON number holds exactly.
                                      {QStringLiteral("size"), double(item.size)},
                                      {QStringLiteral("crc32"), crc32Text(item.crc)}});
        }
        const QJsonObject report {{QStringLiteral("package"), path},
                                  {QStringLiteral("valid"), valid},
                                  {QStringLiteral("items"), items},
                                  {QStringLiteral("problems"), reportList(verdict.problems, path)},
                                  {QStringLiteral("notes"), reportList(verdict.notes, path)}};
        // Written as the bytes they are: through the text stream, a report of
        // many long names would be held once more, as UTF-16.
        const QByteArray text = QJsonDocument(report).toJson(QJsonDocument::Indented);
        out().flush();
        writeStandardOutput(text);
    } else {
        // Messages come escaped (packageMessage()); what else comes from the
        // package or the command line is escaped here.
        out() << "package: " << escapedText(path) << "\n";
        for (auto it = verdict.package.items.cbegin(); it != verdict.package.items.cend(); ++it) {
            const ReportedItem item = reportedItem(it.key(), it.value());
            out() << QStringLiteral("  %1  %2  %3 bytes  crc32 %4\n")
                         .arg(escapedText(item.type).leftJustified(20), escapedText(item.name),
                              QString::number(item.size), crc32Text(item.crc));
        }
        for (const PackageFailure &problem : verdict.problems) {
            const ReportedFinding finding = reportedFinding(problem, path);
            out() << "problem: " << finding.message << " [" << finding.code << "]\n";
        }
        for (const PackageFailure &note : verdict.notes)
            out() << "note: " << reportedFinding(note, path).message << "\n";
        out() << (valid ? "valid\n" : "not valid\n");
    }
    out().flush();
    return valid ? ExitSuccess : ExitRefused;
}

} // namespace

int runCli(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Builds and checks combined upgrade packages without a display."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    parser.addOptions({help, version});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("build or inspect"));
    const QString commands
        = QStringLiteral("\nCommands:\n"
                         "  build --output-dir DIR --name NAME [--item TYPE=PATH]... [--force]\n"
                         "        [--replace] [--quiet] [--jobs N]\n"
                         "                     Builds DIR/NAME.zip from the items.\n"
                         "  inspect [--json] PACKAGE\n"
                         "                     Lists a package's items and reports every problem.\n"
                         "\nExit codes: 0 success; 1 the request or an input refused (also an\n"
                         "existing archive without --force), or inspect found a problem; 2 usage\n"
                         "error; 3 writing the archive failed; 129 hung up (SIGHUP; on Windows\n"
                         "the console closed); 130 interrupted (SIGINT; Ctrl+C); 143 terminated\n"
                         "(SIGTERM; Ctrl+Break, log-off, shut-down).\n");

    const QString command = arguments.value(0);
    if (command == QLatin1String("build"))
        return build(arguments.mid(1));
    if (command == QLatin1String("inspect"))
        return inspect(arguments.mid(1));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QStringList {program} + arguments))
        return usageError(parser.errorText());
    if (parser.isSet(version)) {
        out() << program << " " << APP_VERSION << "\n";
        out().flush();
        return ExitSuccess;
    }
    if (parser.isSet(help)) {
        printHelp(parser, program + QStringLiteral(" [options] command"), commands);
        return ExitSuccess;
    }
    return usageError(command.isEmpty() ? QStringLiteral("no command given")
                                        : QStringLiteral("unknown command '%1'").arg(command));
}
