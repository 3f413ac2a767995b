// Starting a packed program: its path and command line, the launcher's
// watch, the live marker and the sweep, then the run itself.
#include "program/run.h"

#include <wchar.h>

#include "base/fatal.h"
#include "base/layout.h"
#include "base/text.h"
#include "program/entry_options.h"
#include "program/launcher_process.h"
#include "program/program.h"
#include "program/sweep.h"

static const DWORD launcher_gone_exit_code = 1;
static const size_t command_line_capacity = 32768;
static const size_t program_path_capacity = 2 * payload_path_capacity;

static wchar_t program_path[program_path_capacity];
static wchar_t command_line[command_line_capacity];

static void append(wchar_t *buffer, size_t capacity, size_t *length, const wchar_t *text) {
    for (; *text != L'\0'; text++) {
        if (*length + 1 >= capacity) {
            capacity_stop();
        }
        buffer[(*length)++] = *text;
    }
    buffer[*length] = L'\0';
}

static void build_program_path(const wchar_t *directory, const wchar_t *relative) {
    size_t length = 0;
    append(program_path, program_path_capacity, &length, directory);
    append(program_path, program_path_capacity, &length, L"\\");
    append(program_path, program_path_capacity, &length, relative);
}

// The program's full path in quotes, its fixed arguments when the
// directory has an entry file (which also sets its environment), then the
// arguments after argument 0.
static void build_command_line(const wchar_t *directory, int argc, wchar_t **argv) {
    size_t length = 0;
    append(command_line, command_line_capacity, &length, L"\"");
    append(command_line, command_line_capacity, &length, program_path);
    append(command_line, command_line_capacity, &length, L"\"");
    if (apply_entry_options(directory, command_line, command_line_capacity, &length)) {
        for (int i = 1; i < argc; i++) {
            append_program_argument(command_line, command_line_capacity, &length, argv[i]);
        }
        return;
    }
    if (argc > 1) {
        append(command_line, command_line_capacity, &length, L" ");
        quote_command_line(command_line + length, command_line_capacity - length, argc - 1, argv + 1);
    }
}

DWORD program_run(const wchar_t *directory, const wchar_t *relative, int argc, wchar_t **argv, bool kept) {
    // Opened first, so that a launcher killed from now on is noticed.
    bool launcher_gone = false;
    HANDLE launcher = open_parent_launcher(&launcher_gone);
    if (launcher_gone) {
        return launcher_gone_exit_code;  // killed before the program could start: nothing to run for
    }
    build_program_path(directory, relative);
    if (!kept) {
        hold_live_marker(directory);
    }
    const wchar_t *last = wcsrchr(directory, L'\\');
    sweep_killed_runs(last != NULL ? last + 1 : directory);
    build_command_line(directory, argc, argv);
    return run_program(program_path, command_line, kept, launcher);
}
