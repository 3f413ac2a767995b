// A GUI-subsystem program that runs the launcher's attach_console() and
// reports what it left behind, so the tests can start it in situations a
// packed executable meets (no console, some handles missing, redirections).
//
//   attach_probe REPORT
//
// REPORT receives, for stdin, stdout and stderr, "<name>.fileno=<n>",
// "<name>.std=<invalid|null|disk|char|pipe|other>" for the process's
// standard handle, "<name>.same=0|1" (standard handle == the stream's
// descriptor's handle) and, for stdout and stderr, "<name>.unbuffered=0|1".
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <string>

#include "launcher/console.h"

static std::string kind_of(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) {
        return "invalid";
    }
    if (handle == NULL) {
        return "null";
    }
    switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
        return "disk";
    case FILE_TYPE_CHAR:
        return "char";
    case FILE_TYPE_PIPE:
        return "pipe";
    default:
        return "other";
    }
}

static std::string describe(const char *name, FILE *stream, DWORD std_handle, bool output) {
    HANDLE handle = GetStdHandle(std_handle);
    int descriptor = _fileno(stream);
    HANDLE stream_handle = descriptor >= 0 ? (HANDLE)_get_osfhandle(descriptor) : INVALID_HANDLE_VALUE;
    std::string n = name;
    std::string text = n + ".fileno=" + std::to_string(descriptor) + "\n" + n + ".std=" + kind_of(handle) + "\n" +
                       n + ".same=" + (handle == stream_handle ? "1" : "0") + "\n";
    if (output) {
        text += n + ".unbuffered=" + ((stream->_flag & _IONBF) != 0 ? "1" : "0") + "\n";
    }
    return text;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    attach_console();
    if (__argc < 2) {
        return 64;
    }
    std::string report = describe("stdin", stdin, STD_INPUT_HANDLE, false) +
                         describe("stdout", stdout, STD_OUTPUT_HANDLE, true) +
                         describe("stderr", stderr, STD_ERROR_HANDLE, true);
    HANDLE file = CreateFileW(__wargv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    BOOL ok = WriteFile(file, report.data(), (DWORD)report.size(), &written, NULL);
    CloseHandle(file);
    return ok ? 0 : 65;
}
