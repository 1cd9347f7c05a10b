#ifndef CLICOMMANDS_H
#define CLICOMMANDS_H

#include <QStringList>

// The command line's exit codes.
enum CliExit {
    ExitSuccess = 0,
    ExitRefused = 1, // the request was refused, or inspect found a problem
    ExitUsage = 2,
    ExitFailed = 3, // packaging failed
    ExitCancelled = 130, // interrupted
};

// Runs the command line (arguments without the program name) and returns
// its exit code. Output goes to stdout and stderr.
int runCli(const QStringList &arguments);

#endif // CLICOMMANDS_H
