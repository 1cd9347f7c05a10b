#include "clicommands.h"

#include "appversion.h"
#include "combinedpackage.h"
#include "packagingrun.h"
#include "packagewriter.h"
#include "upgradeitemtypes.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

const QString program = QStringLiteral("upgrade-package-cli");
const QString combinedType = QStringLiteral("combined");

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
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

RunControl *interruptible = nullptr;

extern "C" void onInterrupt(int)
{
    // An atomic store: all a signal handler may do here.
    if (interruptible)
        interruptible->requestCancel();
}

int exitFor(const PackageFailure &failure)
{
    switch (failure.kind) {
    case PackageFailure::None:
        return ExitSuccess;
    case PackageFailure::Cancelled:
        return ExitCancelled;
    case PackageFailure::WriteFailed:
        return ExitFailed;
    default:
        return ExitRefused;
    }
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
// on a terminal and passes Ctrl-C on as a cancel.
PackageFailure writeWithProgress(const PackagingOutcome &prepared)
{
    RunControl control;
    interruptible = &control;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    PackageFailure failure;
    std::atomic<bool> finished {false};
    std::thread writer([&] {
        failure = writePackage(prepared.archivePath, prepared.items, &control);
        finished = true;
    });
    const bool terminal = ::isatty(STDERR_FILENO);
    QStringList names;
    for (const PackageItem &item : prepared.items)
        names.append(item.name);
    while (!finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int item = control.currentItem();
        if (terminal && item >= 0 && item < names.size()) {
            // One arg() call, so that a "%3" inside a name stays as it is.
            err() << QStringLiteral("\r\x1b[K%1% %2 (%3/%4)")
                         .arg(QString::number(control.percent()).rightJustified(2), names.at(item),
                              QString::number(item + 1), QString::number(names.size()));
            err().flush();
        }
    }
    writer.join();
    if (terminal) {
        err() << "\r\x1b[K";
        err().flush();
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    interruptible = nullptr;
    return failure;
}

bool parseItem(const QString &value, RequestRow *row, QString *problem)
{
    const int equals = value.indexOf(QLatin1Char('='));
    const QString type = value.left(equals);
    if (equals <= 0 || equals == value.size() - 1) {
        *problem = QStringLiteral("--item takes TYPE=PATH, not '%1'").arg(value);
        return false;
    }
    const int index
        = type == combinedType ? combinedPackageTypeIndex : upgradeTypeKeys.indexOf(type);
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
            "window.\nTYPE is one of: %1, %2.")
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
    parser.addOptions({help, folder, name, item});
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

    PackageRequest request {parser.value(folder), parser.value(name), {}};
    for (const QString &value : parser.values(item)) {
        RequestRow row;
        QString problem;
        if (!parseItem(value, &row, &problem))
            return usageError(problem);
        request.rows.append(row);
    }

    PackagingOutcome prepared = preparePackaging(request);
    if (!prepared.failure.failed())
        prepared.failure = writeWithProgress(prepared);
    if (prepared.failure.failed()) {
        printFailure(prepared.failure);
        return exitFor(prepared.failure);
    }
    const QFileInfo archive(prepared.archivePath);
    out() << QDir::cleanPath(archive.absoluteFilePath()) << "\t" << archive.size() << "\n";
    out().flush();
    return ExitSuccess;
}

// ---- inspect ----------------------------------------------------------------

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

    const PackageScreening screening = screenCombinedPackage(path);
    QList<PackageFailure> problems = screening.problems;
    // A package that cannot be opened has no entries to read.
    const bool opened = problems.isEmpty()
        || (problems.first().reason != PackageFailure::NotFound
            && problems.first().reason != PackageFailure::NotRegularFile
            && problems.first().reason != PackageFailure::NoReadPermission
            && problems.first().reason != PackageFailure::ReadError
            && problems.first().reason != PackageFailure::NotZip);
    if (opened)
        problems += verifyPackageEntries(path);
    const bool valid = problems.isEmpty();

    QJsonArray items;
    for (auto it = screening.package.items.cbegin(); it != screening.package.items.cend(); ++it) {
        items.append(
            QJsonObject {{QStringLiteral("type"), it.key()},
                         {QStringLiteral("name"), it.value().name},
                         {QStringLiteral("size"), double(it.value().size)},
                         {QStringLiteral("crc32"),
                          QStringLiteral("%1").arg(it.value().crc, 8, 16, QLatin1Char('0'))}});
    }
    QStringList problemTexts;
    for (const PackageFailure &problem : problems) {
        QString cause = packageMessage(problem).cause;
        // Every problem is about this package; say what, not where again.
        if (cause.endsWith(QStringLiteral("：") + path))
            cause.chop(path.size() + 1);
        problemTexts.append(cause);
    }

    if (parser.isSet(json)) {
        const QJsonObject report {
            {QStringLiteral("package"), path},
            {QStringLiteral("valid"), valid},
            {QStringLiteral("items"), items},
            {QStringLiteral("problems"), QJsonArray::fromStringList(problemTexts)}};
        out() << QJsonDocument(report).toJson(QJsonDocument::Indented);
    } else {
        out() << "package: " << path << "\n";
        for (const QJsonValue &value : qAsConst(items)) {
            const QJsonObject i = value.toObject();
            out() << QStringLiteral("  %1  %2  %3 bytes  crc32 %4\n")
                         .arg(i.value("type").toString().leftJustified(20),
                              i.value("name").toString(),
                              QString::number(qint64(i.value("size").toDouble())),
                              i.value("crc32").toString());
        }
        for (const QString &problem : qAsConst(problemTexts))
            out() << "problem: " << problem << "\n";
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
                         "  build --output-dir DIR --name NAME [--item TYPE=PATH]...\n"
                         "                     Builds DIR/NAME.zip from the items.\n"
                         "  inspect [--json] PACKAGE\n"
                         "                     Lists a package's items and reports every problem.\n"
                         "\nExit codes: 0 success; 1 request refused, or inspect found a problem;\n"
                         "2 usage error; 3 packaging failed; 130 interrupted.\n");

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
