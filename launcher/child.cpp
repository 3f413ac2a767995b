// Child process launch and command line.
#include "launcher/child.h"

#include <shellapi.h>
#include <wchar.h>

#include "launcher/fatal.h"

static const size_t module_path_capacity = 4096;
static const wchar_t quote_forcing[] = L" \t\n\v\"";

static wchar_t module_path[module_path_capacity];
static wchar_t child_command_line[child_command_line_capacity];

static void fill_module_path(void) {
    if (module_path[0] != L'\0') {
        return;
    }
    if (GetModuleFileNameW(NULL, module_path, module_path_capacity) == 0) {
        capacity_stop();
    }
}

/*-**** Quoting ****/

struct line_writer {
    wchar_t *line;
    size_t capacity;
    size_t length;
};

static void append_units(line_writer *w, wchar_t unit, size_t count) {
    if (count >= w->capacity - w->length) {
        capacity_stop();  // text and terminator must fit
    }
    for (size_t i = 0; i < count; i++) {
        w->line[w->length++] = unit;
    }
    w->line[w->length] = L'\0';
}

static void append_text(line_writer *w, const wchar_t *text) {
    for (const wchar_t *p = text; *p != L'\0'; p++) {
        append_units(w, *p, 1);
    }
}

// Backslashes are literal except in a run that ends at a double quote: that
// run is doubled and the quote escaped, and a run at the end is doubled
// because the closing quote follows it.
static void append_quoted(line_writer *w, const wchar_t *argument) {
    append_units(w, L'"', 1);
    const wchar_t *p = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        if (*p == L'\0') {
            append_units(w, L'\\', 2 * backslashes);
            append_units(w, L'"', 1);
            return;
        }
        if (*p == L'"') {
            append_units(w, L'\\', 2 * backslashes + 1);
        } else {
            append_units(w, L'\\', backslashes);
        }
        append_units(w, *p, 1);
        p++;
    }
}

static void append_argument(line_writer *w, const wchar_t *argument) {
    // An empty argument is passed on as "" so the child sees it too.
    if (argument[0] == L'\0' || wcspbrk(argument, quote_forcing) != NULL) {
        append_quoted(w, argument);
    } else {
        append_text(w, argument);
    }
}

void quote_command_line(wchar_t *line, size_t capacity, int argc, const wchar_t *const *argv) {
    line_writer w = {line, capacity, 0};
    if (capacity == 0) {
        capacity_stop();
    }
    line[0] = L'\0';
    for (int i = 0; i < argc; i++) {
        if (i > 0) {
            append_units(&w, L' ', 1);
        }
        append_argument(&w, argv[i]);
    }
}

/*-**** Launch ****/

wchar_t *build_child_command_line(void) {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL) {
        fatal_launch_failed(GetLastError());  // no arguments, no launch
    }
    fill_module_path();
    argv[0] = module_path;
    quote_command_line(child_command_line, child_command_line_capacity, argc, argv);
    LocalFree(argv);
    return child_command_line;
}

HANDLE launch_child(void) {
    fill_module_path();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL created = CreateProcessW(
        /* lpApplicationName    */ module_path,
        /* lpCommandLine        */ build_child_command_line(),
        /* lpProcessAttributes  */ NULL,
        /* lpThreadAttributes   */ NULL,
        /* bInheritHandles      */ TRUE,
        /* dwCreationFlags      */ NORMAL_PRIORITY_CLASS,
        /* lpEnvironment        */ NULL,
        /* lpCurrentDirectory   */ NULL,
        /* lpStartupInfo        */ &startup,
        /* lpProcessInformation */ &process);
    if (!created) {
        fatal_launch_failed(GetLastError());
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}
