// Console attachment.
#include "launcher/console.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

static const int bind_flags_output = _O_TEXT | _O_WRONLY;  // 0x4001
static const int bind_flags_input = _O_TEXT;                // 0x4000, read-only
static const int utf8_text_mode = 0x40000;                  // _O_U8TEXT

static const DWORD output_mode_wanted =
    ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;  // 0x7
static const DWORD output_mode_fallback = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;  // 0x3
static const DWORD input_mode_wanted = ENABLE_PROCESSED_INPUT | ENABLE_VIRTUAL_TERMINAL_INPUT;  // 0x201
static const DWORD input_mode_fallback = ENABLE_PROCESSED_INPUT;                                // 0x1
static const DWORD input_mode_auto_position = 0x100;  // ENABLE_AUTO_POSITION: leave stdin alone

static bool is_valid_handle(HANDLE handle) { return handle != NULL && handle != INVALID_HANDLE_VALUE; }

static HANDLE stream_handle(FILE *stream) { return (HANDLE)_get_osfhandle(_fileno(stream)); }

static void enable_console_modes(HANDLE handle, DWORD wanted, DWORD fallback) {
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode)) {
        return;  // not a console
    }
    if (!SetConsoleMode(handle, mode | wanted)) {
        SetConsoleMode(handle, mode | fallback);
    }
}

// The temporary descriptor owns `handle`: closing it closes the handle too.
// So it is closed only once the stream has its own duplicate; if _dup2
// fails, the descriptor stays open rather than close the process's
// standard handle under it.
static void bind_stream_to_handle(FILE *stream, HANDLE handle, int flags) {
    int descriptor = _open_osfhandle((intptr_t)handle, flags);
    if (descriptor >= 0 && _dup2(descriptor, _fileno(stream)) == 0) {
        _close(descriptor);
    }
}

/*-**** Step A: descriptors for streams that have none ****/

struct standard_stream {
    FILE *stream;
    DWORD std_handle;
    const char *null_mode;
    int bind_flags;
    DWORD wanted;
    DWORD fallback;
};

static void fill_missing_descriptor(const standard_stream &s) {
    if (_fileno(s.stream) >= 0) {
        return;
    }
    freopen("NUL", s.null_mode, s.stream);
    HANDLE handle = GetStdHandle(s.std_handle);
    if (is_valid_handle(handle)) {
        bind_stream_to_handle(s.stream, handle, s.bind_flags);
        _setmode(_fileno(s.stream), utf8_text_mode);
        // The binding closed `handle`; the stream's duplicate is the console.
        enable_console_modes(stream_handle(s.stream), s.wanted, s.fallback);
    }
    clearerr(s.stream);
}

/*-**** Step B: the process's standard handles ****/

static HANDLE open_console_device(const wchar_t *name) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    return CreateFileW(
        /* lpFileName            */ name,
        /* dwDesiredAccess       */ GENERIC_READ | GENERIC_WRITE,
        /* dwShareMode           */ FILE_SHARE_READ | FILE_SHARE_WRITE,
        /* lpSecurityAttributes  */ &inheritable,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ 0,
        /* hTemplateFile         */ NULL);
}

static void settle_output_stream(FILE *stream, DWORD std_handle, bool without_descriptor) {
    if (without_descriptor) {
        HANDLE console = open_console_device(L"CONOUT$");
        _wfreopen(L"CONOUT$", L"wb", stream);
        setvbuf(stream, NULL, _IONBF, 0);
        _setmode(_fileno(stream), utf8_text_mode);
        enable_console_modes(console, output_mode_wanted, output_mode_fallback);
        enable_console_modes(stream_handle(stream), output_mode_wanted, output_mode_fallback);
        SetStdHandle(std_handle, console);
    } else {
        setvbuf(stream, NULL, _IONBF, 0);
        SetStdHandle(std_handle, stream_handle(stream));
    }
}

static void settle_input_stream(bool without_descriptor) {
    if (!without_descriptor) {
        SetStdHandle(STD_INPUT_HANDLE, stream_handle(stdin));
        return;
    }
    HANDLE console = open_console_device(L"CONIN$");
    DWORD mode = 0;
    GetConsoleMode(console, &mode);
    if (mode & input_mode_auto_position) {
        CloseHandle(console);
        return;
    }
    _wfreopen(L"CONIN$", L"rb", stdin);
    _setmode(_fileno(stdin), utf8_text_mode);
    enable_console_modes(console, input_mode_wanted, input_mode_fallback);
    enable_console_modes(stream_handle(stdin), input_mode_wanted, input_mode_fallback);
    SetStdHandle(STD_INPUT_HANDLE, console);
}

void attach_console(void) {
    // Step 0: the console of whoever started us, or at least a valid stdout.
    bool console_available = AttachConsole(ATTACH_PARENT_PROCESS) != FALSE;
    if (!console_available) {
        console_available = is_valid_handle(GetStdHandle(STD_OUTPUT_HANDLE));
    }

    bool stdout_missing = false;
    bool stderr_missing = false;
    bool stdin_missing = false;
    if (console_available) {
        const standard_stream streams[] = {
            {stdout, STD_OUTPUT_HANDLE, "w", bind_flags_output, output_mode_wanted, output_mode_fallback},
            {stderr, STD_ERROR_HANDLE, "w", bind_flags_output, output_mode_wanted, output_mode_fallback},
            {stdin, STD_INPUT_HANDLE, "r", bind_flags_input, input_mode_wanted, input_mode_fallback},
        };
        for (const standard_stream &s : streams) {
            fill_missing_descriptor(s);
        }
        stdout_missing = _fileno(stdout) < 0;
        stderr_missing = _fileno(stderr) < 0;
        stdin_missing = _fileno(stdin) < 0;
    }

    settle_output_stream(stdout, STD_OUTPUT_HANDLE, stdout_missing);
    settle_output_stream(stderr, STD_ERROR_HANDLE, stderr_missing);
    settle_input_stream(stdin_missing);
}
