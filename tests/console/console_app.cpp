// The application DLL of the console tests. Its first argument picks what it
// does:
//
//   wait_ctrl READY MARKER   handle Ctrl+C itself: announce itself in READY,
//                            wait for the event, then write MARKER and return 5
//   ignore_ctrl READY MARKER ignore Ctrl+C, announce itself, sleep 60 s, then
//                            write MARKER and return 0
//   plain READY              announce itself, sleep 60 s with the system's
//                            default Ctrl+C handling, return 0
//   wait_any READY MARKER GO announce itself, then wait up to 60 s for any
//                            console event or for the file GO to appear;
//                            write "event=<value>\n" or "go\n" to MARKER and
//                            return 5
//   exit CODE                return CODE
//   print                    write numbered lines through printf, puts,
//                            fputs, fwrite, std::cout and stderr, never flushing
//   relay EXE                print a line, run EXE print as a fresh launcher
//                            parent on the same handles, print another line
//   streams FILE             write to FILE, for stdin, stdout and stderr, what
//                            the standard handle and the C stream's descriptor
//                            are: "<name>.handle_is_console=0|1",
//                            "<name>.handle_type=<GetFileType>", and the same
//                            with "stream" for the descriptor's handle
//
// READY holds "pid=<process id>\ndir=<directory of the DLL>\n"; it appears
// complete (written under another name, then renamed). In wait_ctrl and
// ignore_ctrl modes MARKER.detach is written when the DLL is unloaded at
// process exit, which never happens when the process is terminated.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <iostream>
#include <string>

static wchar_t detach_marker[MAX_PATH * 4];
static HANDLE ctrl_c_seen;

// Plain Win32 only: this also runs from DllMain at process exit.
static bool write_raw(const wchar_t *path, const char *text, DWORD size) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text, size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok;
}

static bool write_text(const std::wstring &path, const std::string &text) {
    return write_raw(path.c_str(), text.data(), (DWORD)text.size());
}

static std::string utf8(const std::wstring &wide) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), (int)wide.size(), out.data(), n, nullptr, nullptr);
    return out;
}

static bool announce(const std::wstring &ready, const wchar_t *dll_path) {
    std::wstring dir = dll_path;
    dir = dir.substr(0, dir.rfind(L'\\'));
    std::string text = "pid=" + std::to_string(GetCurrentProcessId()) + "\ndir=" + utf8(dir) + "\n";
    std::wstring partial = ready + L".partial";
    return write_text(partial, text) && MoveFileExW(partial.c_str(), ready.c_str(), MOVEFILE_REPLACE_EXISTING);
}

static BOOL WINAPI note_ctrl_c(DWORD event) {
    if (event != CTRL_C_EVENT) {
        return FALSE;
    }
    SetEvent(ctrl_c_seen);
    return TRUE;
}

// The first console event of any kind; the handler answers "handled" so
// that the default handling does not end the process before it returns.
static volatile LONG first_event = -1;

static BOOL WINAPI note_any_event(DWORD event) {
    InterlockedCompareExchange(&first_event, (LONG)event, -1);
    SetEvent(ctrl_c_seen);
    return TRUE;
}

static void arm_detach_marker(const std::wstring &marker) {
    std::wstring path = marker + L".detach";
    if (path.size() < sizeof detach_marker / sizeof detach_marker[0]) {
        wcscpy(detach_marker, path.c_str());
    }
}

static int wait_for_ctrl_c(const std::wstring &ready, const std::wstring &marker, const wchar_t *dll_path) {
    ctrl_c_seen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_ctrl_c, TRUE);
    arm_detach_marker(marker);
    if (!announce(ready, dll_path)) {
        return 80;
    }
    if (WaitForSingleObject(ctrl_c_seen, 60000) != WAIT_OBJECT_0) {
        return 81;
    }
    return write_text(marker, "signalled\n") ? 5 : 82;
}

static int wait_for_event_or_file(const std::wstring &ready, const std::wstring &marker, const std::wstring &go,
                                  const wchar_t *dll_path) {
    ctrl_c_seen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_any_event, TRUE);
    arm_detach_marker(marker);
    if (!announce(ready, dll_path)) {
        return 80;
    }
    for (int waited = 0; waited < 60000; waited += 10) {
        if (WaitForSingleObject(ctrl_c_seen, 10) == WAIT_OBJECT_0) {
            LONG event = InterlockedCompareExchange(&first_event, 0, 0);
            return write_text(marker, "event=" + std::to_string(event) + "\n") ? 5 : 82;
        }
        if (GetFileAttributesW(go.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return write_text(marker, "go\n") ? 5 : 82;
        }
    }
    return 81;
}

static int ignore_ctrl_c(const std::wstring &ready, const std::wstring &marker, const wchar_t *dll_path) {
    SetConsoleCtrlHandler(nullptr, TRUE);
    arm_detach_marker(marker);
    if (!announce(ready, dll_path)) {
        return 80;
    }
    Sleep(60000);
    write_text(marker, "slept\n");
    return 0;
}

static int plain(const std::wstring &ready, const wchar_t *dll_path) {
    if (!announce(ready, dll_path)) {
        return 80;
    }
    Sleep(60000);
    return 0;
}

// One line per way of writing, alternating between stdout and stderr and
// never flushed: they keep their order only if both streams are unbuffered.
static int print_lines(void) {
    printf("1 printf\n");
    fprintf(stderr, "2 stderr fprintf\n");
    puts("3 puts");
    fputs("4 stderr fputs\n", stderr);
    std::cout << "5 cout\n";
    std::cerr << "6 cerr\n";
    fwrite("7 fwrite\n", 1, 9, stdout);
    fputs("8 fputs\n", stdout);
    return 0;
}

// Runs EXE as a new launcher parent: the run variables that make an instance
// a child are removed first, and the standard handles are passed on.
static int relay(const wchar_t *exe) {
    printf("relay before\n");
    for (const wchar_t *name : {L"VELSOR_ONEFILE_PARENT", L"VELSOR_ONEFILE_TIME_US", L"VELSOR_ONEFILE_RANDOM",
                                L"VELSOR_ONEFILE_START"}) {
        SetEnvironmentVariableW(name, nullptr);
    }
    std::wstring line = L"\"" + std::wstring(exe) + L"\" print";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        return 83;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 84;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    printf("relay after %lu\n", code);
    return 0;
}

static std::string describe(const char *name, HANDLE handle, const char *kind) {
    DWORD mode = 0;
    bool console = handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
    DWORD type = handle != nullptr && handle != INVALID_HANDLE_VALUE ? GetFileType(handle) : FILE_TYPE_UNKNOWN;
    return std::string(name) + "." + kind + "_is_console=" + (console ? "1" : "0") + "\n" + name + "." + kind +
           "_type=" + std::to_string(type) + "\n";
}

static int report_streams(const std::wstring &path) {
    std::string text;
    const struct {
        const char *name;
        DWORD std_handle;
        FILE *stream;
    } streams[] = {{"stdin", STD_INPUT_HANDLE, stdin}, {"stdout", STD_OUTPUT_HANDLE, stdout},
                   {"stderr", STD_ERROR_HANDLE, stderr}};
    for (const auto &s : streams) {
        text += describe(s.name, GetStdHandle(s.std_handle), "handle");
        int descriptor = _fileno(s.stream);
        HANDLE stream_handle = descriptor >= 0 ? (HANDLE)_get_osfhandle(descriptor) : INVALID_HANDLE_VALUE;
        text += describe(s.name, stream_handle, "stream");
    }
    return write_text(path, text) ? 0 : 85;
}

extern "C" __declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    std::wstring mode = argc > 1 ? argv[1] : L"";
    std::wstring first = argc > 2 ? argv[2] : L"";
    std::wstring second = argc > 3 ? argv[3] : L"";
    if (mode == L"wait_ctrl") {
        return wait_for_ctrl_c(first, second, dll_path);
    }
    if (mode == L"wait_any") {
        return wait_for_event_or_file(first, second, argc > 4 ? argv[4] : L"", dll_path);
    }
    if (mode == L"ignore_ctrl") {
        return ignore_ctrl_c(first, second, dll_path);
    }
    if (mode == L"plain") {
        return plain(first, dll_path);
    }
    if (mode == L"exit") {
        return (int)wcstoul(first.c_str(), nullptr, 0);
    }
    if (mode == L"print") {
        return print_lines();
    }
    if (mode == L"streams") {
        return report_streams(first);
    }
    if (mode == L"relay") {
        return relay(first.c_str());
    }
    fprintf(stderr, "console_app: unknown mode\n");
    return 99;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    // reserved is non-null when the whole process is exiting normally.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr && detach_marker[0] != L'\0') {
        write_raw(detach_marker, "detached\n", 9);
    }
    return TRUE;
}
