#ifndef CONSOLE_H
#define CONSOLE_H

#include <QTextStream>

class RunControl;

// What the command line needs from the terminal or console it runs in; one
// implementation per system (console_posix.cpp, console_win.cpp).

// The program's standard output and error as text: in the locale's encoding
// on Linux; on Windows in the console's own wide characters, or UTF-8 when
// redirected, never through the ANSI code page (which cannot hold every name).
QTextStream &standardOutput();
QTextStream &standardError();
// UTF-8 bytes straight to standard output, past the text stream (which
// must be flushed first), in the same encoding as the stream's.
void writeStandardOutput(const QByteArray &utf8);

// Whether standard error is a terminal that takes the progress line (a
// carriage return and "erase to end of line").
bool standardErrorIsTerminal();

// While it lives, an interruption cancels the run that control watches
// instead of ending the process: the run then removes what it wrote, and the
// program returns interruptionExitCode().
//   Linux:   SIGINT 130, SIGTERM 143, SIGHUP 129 (128 + the signal's number).
//   Windows: Ctrl+C 130 (as SIGINT); Ctrl+Break, log-off and shut-down 143 (as
//            SIGTERM, which Windows' own tools send as Ctrl+Break); the console
//            closed 129 (as a terminal hung up).
class Interruptible
{
public:
    explicit Interruptible(RunControl *control);
    ~Interruptible();
    Interruptible(const Interruptible &) = delete;
    Interruptible &operator=(const Interruptible &) = delete;
};

// The exit code of the first interruption, or 0 while there was none.
int interruptionExitCode();

#endif // CONSOLE_H
