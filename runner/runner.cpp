// The runner DLL: the application DLL of a packed existing program.
//
// The launcher's child loads it from <unpacked directory>\.velsor\runner.dll
// and calls run_code. The runner starts the program named by its program
// record (a path relative to the unpacked directory, written by the
// packer) with the child's arguments, waits for it and returns its exit code.
// Before that it marks its directory as in use and removes those that
// killed runs left behind (runner/sweep.h).
#include <stddef.h>
#include <wchar.h>
#include <windows.h>

#include "launcher/child.h"
#include "launcher/fatal.h"
#include "paths/join.h"
#include "paths/own_path.h"
#include "payload/format.h"
#include "runner/launcher_process.h"
#include "runner/program.h"
#include "runner/sweep.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t));

static const size_t program_path_capacity = payload_path_capacity + program_record_path_units;

struct program_record {
    unsigned char marker[program_record_marker_size];
    wchar_t path[program_record_path_units];
};

static_assert(offsetof(program_record, path) == program_record_path_offset);
static_assert(sizeof(program_record) == program_record_size);

// Unfilled: the marker and zeros. The packer writes the path.
extern "C" __attribute__((used)) const program_record velsor_program_record = {
    {'Q', 'Z', 'V', ' ', 'p', 'r', 'o', 'g', 'r', 'a', 'm', ' ', 'p', 'a', 't', 'h'},
    {},
};

// The record that only a cached directory holds (launcher/unpack_cache.cpp):
// such a directory outlives the run.
static const wchar_t cache_record_name[] = L"complete";
static const int launcher_gone_exit_code = 1;

static wchar_t unpacked_directory[payload_path_capacity];
static wchar_t program_path[program_path_capacity];
static wchar_t command_line[child_command_line_capacity];

static void append(wchar_t *buffer, size_t capacity, size_t *length, const wchar_t *text) {
    for (; *text != L'\0'; text++) {
        if (*length + 1 >= capacity) {
            capacity_stop();
        }
        buffer[(*length)++] = *text;
    }
    buffer[*length] = L'\0';
}

// The unpacked directory: dll_path less its "\.velsor\runner.dll".
static size_t append_unpacked_directory(const wchar_t *dll_path) {
    const wchar_t *entry = (const wchar_t *)runner_entry_name;
    size_t path_length = wcslen(dll_path);
    size_t entry_length = wcslen(entry);
    if (path_length < entry_length + 1 || dll_path[path_length - entry_length - 1] != L'\\' ||
        _wcsicmp(dll_path + path_length - entry_length, entry) != 0) {
        fatal_error("Error, the runner is not in the unpacked directory's .velsor folder.");
    }
    size_t length = 0;
    for (size_t i = 0; i < path_length - entry_length; i++) {
        wchar_t unit[2] = {dll_path[i], L'\0'};
        append(program_path, program_path_capacity, &length, unit);
    }
    copy_bounded(unpacked_directory, program_path, payload_path_capacity);
    unpacked_directory[length - 1] = L'\0';
    return length;  // ends with the backslash
}

// The record's path, reached through a volatile read so that the compiler
// takes what the packer wrote instead of folding in the initialiser's zeros.
static const wchar_t *const volatile record_path = velsor_program_record.path;

static void build_program_path(const wchar_t *dll_path) {
    size_t length = append_unpacked_directory(dll_path);
    const wchar_t *record = record_path;
    if (record[0] == L'\0') {
        fatal_error("Error, the runner names no program.");
    }
    for (size_t i = 0; i < program_record_path_units && record[i] != L'\0'; i++) {
        wchar_t unit[2] = {record[i], L'\0'};
        append(program_path, program_path_capacity, &length, unit);
    }
}

// The program's full path in quotes, then the child's arguments after its
// own argument 0, quoted as the launcher quotes them for the child.
static void build_command_line(int argc, wchar_t **argv) {
    size_t length = 0;
    append(command_line, child_command_line_capacity, &length, L"\"");
    append(command_line, child_command_line_capacity, &length, program_path);
    append(command_line, child_command_line_capacity, &length, L"\"");
    if (argc > 1) {
        append(command_line, child_command_line_capacity, &length, L" ");
        quote_command_line(command_line + length, child_command_line_capacity - length, argc - 1, argv + 1);
    }
}

static bool directory_is_kept(void) {
    wchar_t record[payload_path_capacity];
    return join_path(record, unpacked_directory, (const wchar_t *)velsor_directory_name, cache_record_name) &&
           GetFileAttributesW(record) != INVALID_FILE_ATTRIBUTES;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    // Opened first, so that a launcher killed from now on is noticed.
    bool launcher_gone = false;
    HANDLE launcher = open_parent_launcher(&launcher_gone);
    if (launcher_gone) {
        return launcher_gone_exit_code;  // killed before the program could start: nothing to run for
    }
    build_program_path(dll_path);
    bool kept = directory_is_kept();
    if (!kept) {
        hold_live_marker(unpacked_directory);
    }
    const wchar_t *last = wcsrchr(unpacked_directory, L'\\');
    sweep_killed_runs(last != NULL ? last + 1 : unpacked_directory);
    build_command_line(argc, argv);
    return (int)run_program(program_path, command_line, kept, launcher);
}
