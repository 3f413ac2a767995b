// The runner DLL: the application DLL of a packed existing program.
//
// The launcher's child loads it from <unpacked directory>\.velsor\runner.dll
// and calls run_code. The runner starts the program named by its program
// record (a path relative to the unpacked directory, written by the
// packer) with the child's arguments, waits for it and returns its exit
// code; program/ does the work.
#include <stddef.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/text.h"
#include "cache/cache.h"
#include "payload/format.h"
#include "program/run.h"

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

// The record's path, reached through a volatile read so that the compiler
// takes what the packer wrote instead of folding in the initialiser's zeros.
static const wchar_t *const volatile record_path = velsor_program_record.path;

static wchar_t unpacked_directory[payload_path_capacity];
static wchar_t program_relative[program_record_path_units];

// The unpacked directory: dll_path less its "\.velsor\runner.dll".
static void find_unpacked_directory(const wchar_t *dll_path) {
    const wchar_t *entry = wide_name(runner_entry_name);
    size_t path_length = wcslen(dll_path);
    size_t entry_length = wcslen(entry);
    if (path_length < entry_length + 1 || dll_path[path_length - entry_length - 1] != L'\\' ||
        _wcsicmp(dll_path + path_length - entry_length, entry) != 0) {
        fatal_error("Error, the runner is not in the unpacked directory's .velsor folder.");
    }
    size_t length = path_length - entry_length - 1;
    if (length >= payload_path_capacity) {
        capacity_stop();
    }
    wmemcpy(unpacked_directory, dll_path, length);
    unpacked_directory[length] = L'\0';
}

// The record's path, at most its capacity less the terminator.
static void read_program_record(void) {
    const wchar_t *record = record_path;
    if (record[0] == L'\0') {
        fatal_error("Error, the runner names no program.");
    }
    size_t n = 0;
    for (; n + 1 < program_record_path_units && record[n] != L'\0'; n++) {
        program_relative[n] = record[n];
    }
    program_relative[n] = L'\0';
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    find_unpacked_directory(dll_path);
    read_program_record();
    bool kept = cache_keeps_directory(unpacked_directory);
    return (int)program_run(unpacked_directory, program_relative, argc, argv, kept);
}
