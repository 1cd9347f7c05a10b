#include "console.h"

#include "runcontrol.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

RunControl *interruptible = nullptr;
std::atomic<int> interruptedBy {0};
constexpr int handledSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onInterrupt(int signal)
{
    // Atomic stores: all a signal handler may do here.
    interruptedBy = signal;
    if (interruptible)
        interruptible->requestCancel();
}

} // namespace

QTextStream &standardOutput()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &standardError()
{
    static QTextStream stream(stderr);
    return stream;
}

void writeStandardOutput(const QByteArray &utf8)
{
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
    std::fflush(stdout);
}

bool standardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO);
}

Interruptible::Interruptible(RunControl *control)
{
    interruptible = control;
    for (const int number : handledSignals)
        std::signal(number, onInterrupt);
}

Interruptible::~Interruptible()
{
    for (const int number : handledSignals)
        std::signal(number, SIG_DFL);
    interruptible = nullptr;
}

int interruptionExitCode()
{
    const int signal = interruptedBy;
    return signal ? 128 + signal : 0;
}
