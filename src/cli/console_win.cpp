#include "console.h"

#include "runcontrol.h"

#include <QIODevice>
#include <QString>
#include <QTextCodec>

#include <atomic>
#include <mutex>

#include <windows.h>

namespace {

// Text for one standard handle: a console gets it as wide characters
// (WriteConsoleW shows every name whatever the code page), a file or pipe as
// UTF-8 bytes.
class StandardHandle : public QIODevice
{
public:
    explicit StandardHandle(DWORD which)
        : handle(::GetStdHandle(which))
    {
        DWORD mode = 0;
        console = handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

    bool isConsole() const { return console; }
    HANDLE nativeHandle() const { return handle; }

protected:
    qint64 readData(char *, qint64) override { return -1; }

    qint64 writeData(const char *data, qint64 size) override
    {
        if (!handle || handle == INVALID_HANDLE_VALUE)
            return size; // no such handle (a GUI parent): nothing to show
        DWORD written = 0;
        if (console) {
            const QString text = QString::fromUtf8(data, int(size));
            ::WriteConsoleW(handle, reinterpret_cast<const wchar_t *>(text.utf16()),
                            DWORD(text.size()), &written, nullptr);
            return size;
        }
        for (qint64 done = 0; done < size; done += written) {
            if (!::WriteFile(handle, data + done, DWORD(qMin<qint64>(size - done, 1 << 20)),
                             &written, nullptr)
                || written == 0)
                return -1;
        }
        return size;
    }

private:
    HANDLE handle;
    bool console = false;
};

StandardHandle &standardHandle(DWORD which)
{
    static StandardHandle output(STD_OUTPUT_HANDLE), error(STD_ERROR_HANDLE);
    return which == STD_OUTPUT_HANDLE ? output : error;
}

// A UTF-8 text stream on a standard handle; it lives (and is flushed at the
// end) as long as the program.
class Utf8Stream : public QTextStream
{
public:
    explicit Utf8Stream(DWORD which)
        : QTextStream(&standardHandle(which))
    {
        setCodec(QTextCodec::codecForName("UTF-8"));
    }
};

// The run a console event cancels; the lock keeps the handler, which Windows
// calls on a thread of its own, from cancelling a run that has ended.
std::mutex interruptibleLock;
RunControl *interruptible = nullptr;
std::atomic<int> exitCode {0};

int exitCodeFor(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return 130; // SIGINT
    case CTRL_CLOSE_EVENT:
        return 129; // SIGHUP
    case CTRL_BREAK_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return 143; // SIGTERM
    default:
        return 0;
    }
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int code = exitCodeFor(event);
    {
        const std::lock_guard<std::mutex> lock(interruptibleLock);
        if (code == 0 || !interruptible)
            return FALSE; // Windows' default: the process ends
        int none = 0;
        exitCode.compare_exchange_strong(none, code);
        interruptible->requestCancel();
    }
    // After a close, log-off or shut-down event Windows ends the process as
    // soon as this handler returns; so it does not return: the main thread
    // removes what the run wrote and ends the process with the exit code.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(INFINITE);
    return TRUE;
}

} // namespace

QTextStream &standardOutput()
{
    static Utf8Stream stream(STD_OUTPUT_HANDLE);
    return stream;
}

QTextStream &standardError()
{
    static Utf8Stream stream(STD_ERROR_HANDLE);
    return stream;
}

void writeStandardOutput(const QByteArray &utf8)
{
    standardHandle(STD_OUTPUT_HANDLE).write(utf8);
}

bool standardErrorIsTerminal()
{
    // The progress line erases with "ESC [ K", which a console shows only in
    // its virtual terminal mode (Windows 10 on).
    const StandardHandle &error = standardHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return error.isConsole() && ::GetConsoleMode(error.nativeHandle(), &mode)
        && ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
            || ::SetConsoleMode(error.nativeHandle(), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
}

Interruptible::Interruptible(RunControl *control)
{
    {
        const std::lock_guard<std::mutex> lock(interruptibleLock);
        interruptible = control;
    }
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

Interruptible::~Interruptible()
{
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    const std::lock_guard<std::mutex> lock(interruptibleLock);
    interruptible = nullptr;
}

int interruptionExitCode()
{
    return exitCode;
}
