// A console owner for the Ctrl+C tests: started in a console of its own, it
// starts a packed executable in that same console, waits for a trigger, sends
// Ctrl+C to the whole console and waits for the executable to end.
//
//   console_host RESULT TRIGGER EXE [ARGS...]
//
// TRIGGER is "file:PATH" (PATH appears), "onefile" (the executable's
// onefile_<pid>_ directory appears in the temporary directory) or "none" (no
// Ctrl+C is sent). RESULT receives "exit=<code>\npid=<process id>\n
// signalled=<0|1>\nelapsed_ms=<ms from Ctrl+C to the executable's end>\n
// error=<text>\n", one key per line.
#include <windows.h>

#include <string>

#include "tests/support/harness.h"

static const DWORD trigger_timeout_ms = 60000;
static const DWORD end_timeout_ms = 60000;

// This process stays alive through the Ctrl+C it sends itself. A handler
// (rather than ignoring Ctrl+C) keeps the packed executable from inheriting
// the "ignore Ctrl+C" setting.
static BOOL WINAPI survive(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

static bool has_directory_of(DWORD pid) {
    std::wstring prefix = L"onefile_" + std::to_wstring(pid) + L"_";
    for (const auto &name : harness::onefile_directories()) {
        if (name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

static bool wait_for_trigger(const std::wstring &trigger, const PROCESS_INFORMATION &process) {
    for (DWORD waited = 0; waited < trigger_timeout_ms; waited += 5) {
        if (trigger.rfind(L"file:", 0) == 0 ? harness::path_exists(trigger.substr(5))
                                               : has_directory_of(process.dwProcessId)) {
            return true;
        }
        if (WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) {
            return false;  // ended before the trigger
        }
    }
    return false;
}

static void write_result(const std::wstring &path, DWORD exit_code, DWORD pid, bool signalled, ULONGLONG elapsed,
                         const std::string &error) {
    std::string text = "exit=" + std::to_string(exit_code) + "\npid=" + std::to_string(pid) +
                       "\nsignalled=" + (signalled ? "1" : "0") +
                       "\nelapsed_ms=" + std::to_string(elapsed) + "\nerror=" + error + "\n";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr);
    CloseHandle(file);
}

int wmain(int argc, wchar_t **argv) {
    if (argc < 4) {
        return 64;
    }
    std::wstring result = argv[1];
    std::wstring trigger = argv[2];
    std::wstring exe = argv[3];
    std::wstring line = harness::quote_argument(exe);
    for (int i = 4; i < argc; i++) {
        line += L" " + harness::quote_argument(argv[i]);
    }
    SetConsoleCtrlHandler(survive, TRUE);

    // No handles are handed over: the packed executable finds this console
    // by attaching to it, as when it is started from a command prompt.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(
            /* lpApplicationName    */ exe.c_str(),
            /* lpCommandLine        */ line.data(),
            /* lpProcessAttributes  */ nullptr,
            /* lpThreadAttributes   */ nullptr,
            /* bInheritHandles      */ FALSE,
            /* dwCreationFlags      */ 0,
            /* lpEnvironment        */ nullptr,
            /* lpCurrentDirectory   */ nullptr,
            /* lpStartupInfo        */ &startup,
            /* lpProcessInformation */ &process)) {
        write_result(result, 0, 0, false, 0, "CreateProcessW failed " + std::to_string(GetLastError()));
        return 65;
    }
    bool signalled = false;
    ULONGLONG signal_time = GetTickCount64();
    std::string error;
    if (trigger != L"none") {
        if (wait_for_trigger(trigger, process)) {
            signal_time = GetTickCount64();
            signalled = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
            if (!signalled) {
                error = "GenerateConsoleCtrlEvent failed " + std::to_string(GetLastError());
            }
        } else {
            error = "trigger not seen";
        }
    }
    if (WaitForSingleObject(process.hProcess, end_timeout_ms) != WAIT_OBJECT_0) {
        error += " still running";
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    ULONGLONG elapsed = GetTickCount64() - signal_time;
    DWORD exit_code = 0;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    write_result(result, exit_code, process.dwProcessId, signalled, elapsed, error);
    return 0;
}
