/* The program that the runner tests pack as an existing program (built as a
 * console and as a GUI program). Its first argument picks what it does:
 *
 *   exit CODE          return CODE (decimal or 0x hex, all 32 bits)
 *   args FILE ARGS...  write ARGS as its C runtime split them, then as
 *                      CommandLineToArgvW split its command line (less
 *                      argument 0 and the first two), to FILE: UTF-16LE, each
 *                      argument followed by a 0 unit, the two lists separated
 *                      by a 1 unit
 *   argv FILE ARGS...  the same from argument 0 on: its own path, "argv",
 *                      FILE, ARGS
 *   env FILE NAMES...  write the value of each environment variable NAME to
 *                      FILE: UTF-16LE, each followed by a 0 unit; an unset
 *                      one as a lone 1 unit
 *   wait_ctrl READY    handle Ctrl+C: write READY, wait for it, return 7
 *   ignore_ctrl READY  ignore Ctrl+C: write READY, sleep 60 s, return 0
 *   spawn READY        start itself with "sleep", write READY holding
 *                      "<parent pid> <own pid> <started pid>", sleep 60 s
 *   detach MS READY    start itself detached with "sleep MS", write READY
 *                      holding the started pid, return 0 at once
 *   sleep [MS]         sleep MS milliseconds (default 60 s)
 *   --exit-code CODE   open a window titled "velsor runner GUI", return CODE
 *                      once it is closed
 *
 * Built with RUNNER_APP_NEEDS_ABSENT, it imports from absent.dll, which its
 * directory leaves out, so that it cannot start at all.
 * READY appears complete: written under another name, then renamed. */
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>
#include <wchar.h>

#ifdef RUNNER_APP_NEEDS_ABSENT
__declspec(dllimport) int absent_value(void);
#endif

static HANDLE ctrl_c_seen;

static int write_file(const wchar_t *path, const void *data, DWORD size) {
    wchar_t partial[MAX_PATH * 2];
    swprintf(partial, MAX_PATH * 2, L"%ls.partial", path);
    HANDLE file = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    BOOL ok = file != INVALID_HANDLE_VALUE && WriteFile(file, data, size, &written, NULL) && written == size;
    CloseHandle(file);
    return ok && MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING) ? 0 : 80;
}

static int write_env(const wchar_t *path, int argc, wchar_t **argv) {
    static wchar_t out[98304];
    size_t n = 0;
    for (int i = 3; i < argc && n < 60000; i++, out[n++] = 0) {
        SetLastError(ERROR_SUCCESS);
        DWORD got = GetEnvironmentVariableW(argv[i], out + n, 32768);
        n += got < 32768 ? got : 0;
        if (got == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            out[n++] = 1;
        }
    }
    return write_file(path, out, (DWORD)(n * sizeof(wchar_t)));
}

static int write_args(const wchar_t *path, int argc, wchar_t **argv, int first) {
    static wchar_t out[65536];
    size_t n = 0;
    int split_count = 0;
    wchar_t **split = CommandLineToArgvW(GetCommandLineW(), &split_count);
    for (int list = 0; list < 2; list++) {
        int count = list == 0 ? argc : split_count;
        wchar_t **items = list == 0 ? argv : split;
        for (int i = first; i < count && n < 60000; i++) {
            size_t length = wcslen(items[i]);
            wmemcpy(out + n, items[i], length);
            n += length;
            out[n++] = 0;
        }
        if (list == 0) {
            out[n++] = 1;
        }
    }
    return write_file(path, out, (DWORD)(n * sizeof(wchar_t)));
}

static DWORD parent_of(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) {
            parent = entry.th32ParentProcessID;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

/* Starts this program again as "sleep MS"; 0 when it cannot. */
static DWORD start_sleeper(const wchar_t *ms, DWORD flags) {
    wchar_t self[MAX_PATH * 4], line[MAX_PATH * 5];
    GetModuleFileNameW(NULL, self, MAX_PATH * 4);
    swprintf(line, MAX_PATH * 5, L"\"%ls\" sleep %ls", self, ms);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(self, line, NULL, NULL, FALSE, flags, NULL, NULL, &startup, &process)) {
        return 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}

static int detach(const wchar_t *ms, const wchar_t *ready) {
    char text[32];
    int length = snprintf(text, sizeof text, "%lu", start_sleeper(ms, DETACHED_PROCESS));
    return write_file(ready, text, (DWORD)length);
}

static int spawn(const wchar_t *ready) {
    DWORD started = start_sleeper(L"60000", 0);
    if (started == 0) {
        return 83;
    }
    char text[64];
    int length = snprintf(text, sizeof text, "%lu %lu %lu", parent_of(GetCurrentProcessId()),
                          GetCurrentProcessId(), started);
    int status = write_file(ready, text, (DWORD)length);
    Sleep(60000);
    return status;
}

static BOOL WINAPI note_ctrl_c(DWORD event) {
    if (event != CTRL_C_EVENT) {
        return FALSE;
    }
    SetEvent(ctrl_c_seen);
    return TRUE;
}

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

static int show_window(void) {
    WNDCLASSW type;
    memset(&type, 0, sizeof type);
    type.lpfnWndProc = window_procedure;
    type.hInstance = GetModuleHandleW(NULL);
    type.lpszClassName = L"velsor_runner_gui";
    RegisterClassW(&type);
    HWND window = CreateWindowW(L"velsor_runner_gui", L"velsor runner GUI", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                CW_USEDEFAULT, CW_USEDEFAULT, 300, 200, NULL, NULL, type.hInstance, NULL);
    if (window == NULL) {
        return 84;
    }
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    const wchar_t *mode = argc > 1 ? argv[1] : L"";
    if (wcscmp(mode, L"exit") == 0 && argc > 2) {
        return (int)wcstoul(argv[2], NULL, 0);
    }
    if (wcscmp(mode, L"args") == 0 && argc > 2) {
        return write_args(argv[2], argc, argv, 3);
    }
    if (wcscmp(mode, L"argv") == 0 && argc > 2) {
        return write_args(argv[2], argc, argv, 0);
    }
    if (wcscmp(mode, L"env") == 0 && argc > 2) {
        return write_env(argv[2], argc, argv);
    }
    if (wcscmp(mode, L"wait_ctrl") == 0 && argc > 2) {
        ctrl_c_seen = CreateEventW(NULL, TRUE, FALSE, NULL);
        SetConsoleCtrlHandler(note_ctrl_c, TRUE);
        if (write_file(argv[2], "ready", 5) != 0 || WaitForSingleObject(ctrl_c_seen, 60000) != WAIT_OBJECT_0) {
            return 81;
        }
        return 7;
    }
    if (wcscmp(mode, L"ignore_ctrl") == 0 && argc > 2) {
        SetConsoleCtrlHandler(NULL, TRUE);
        write_file(argv[2], "ready", 5);
        Sleep(60000);
        return 0;
    }
    if (wcscmp(mode, L"spawn") == 0 && argc > 2) {
        return spawn(argv[2]);
    }
    if (wcscmp(mode, L"detach") == 0 && argc > 3) {
        return detach(argv[2], argv[3]);
    }
    if (wcscmp(mode, L"sleep") == 0) {
        Sleep(argc > 2 ? (DWORD)wcstoul(argv[2], NULL, 10) : 60000);
        return 0;
    }
#ifdef RUNNER_APP_NEEDS_ABSENT
    if (wcscmp(mode, L"absent") == 0) {
        return absent_value();
    }
#endif
    if (wcscmp(mode, L"--exit-code") == 0 && argc > 2) {
        int status = show_window();
        return status != 0 ? status : (int)wcstoul(argv[2], NULL, 0);
    }
    return 64;
}
