// What tests/windows/run.sh needs of Windows that no program under Wine
// offers: a file held open so that it cannot be replaced, and console events
// sent to a run.
//   winhelper hold FILE MARKER SECONDS
//       opens FILE for reading without letting it be deleted or replaced,
//       creates MARKER once it holds it, and keeps it for SECONDS
//   winhelper event c|break FOLDER MS-FILE COMMAND...
//       starts COMMAND on this console, waits until a run's hidden file
//       appears in FOLDER, sends the console event (Ctrl+C or Ctrl+Break),
//       writes into MS-FILE how many milliseconds COMMAND took to end after
//       it, and returns COMMAND's exit code
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int hold(const wchar_t *file, const wchar_t *marker, int seconds)
{
    const HANDLE held = ::CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    const HANDLE made = ::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made == INVALID_HANDLE_VALUE)
        return 1;
    ::CloseHandle(made);
    ::Sleep(DWORD(seconds) * 1000);
    ::CloseHandle(held);
    return 0;
}

bool runFileIn(const std::wstring &folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\.upkg-*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    ::FindClose(search);
    return true;
}

BOOL WINAPI ignoreEvent(DWORD)
{
    return TRUE; // the event is for the run; this helper stays to report
}

int sendEvent(const wchar_t *which, const wchar_t *folder, const wchar_t *timeFile, int count,
              wchar_t **command)
{
    std::wstring line;
    for (int i = 0; i < count; ++i)
        line += (i ? L" \"" : L"\"") + std::wstring(command[i]) + L"\"";
    const bool controlC = std::wcscmp(which, L"c") == 0;
    ::SetConsoleCtrlHandler(ignoreEvent, TRUE);
    STARTUPINFOW startup {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process {};
    // The event goes to every process of the console (Wine sends none to a
    // group of its own); this helper ignores it.
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
        return 200;
    for (int waited = 0; !runFileIn(folder) && waited < 600; ++waited) {
        if (::WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0)
            return 201; // ended before it wrote anything
    }
    const ULONGLONG sent = ::GetTickCount64();
    if (!::GenerateConsoleCtrlEvent(controlC ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0))
        return 202;
    if (::WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0)
        return 203;
    if (FILE *report = _wfopen(timeFile, L"w")) {
        std::fprintf(report, "%llu\n", ::GetTickCount64() - sent);
        std::fclose(report);
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    return int(code);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 5 && std::wcscmp(argv[1], L"hold") == 0)
        return hold(argv[2], argv[3], _wtoi(argv[4]));
    if (argc >= 6 && std::wcscmp(argv[1], L"event") == 0)
        return sendEvent(argv[2], argv[3], argv[4], argc - 5, argv + 5);
    std::fputs(
        "usage: winhelper hold FILE MARKER SECONDS | event c|break FOLDER MS-FILE COMMAND...\n",
        stderr);
    return 2;
}
