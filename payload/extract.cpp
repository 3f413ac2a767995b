// File extraction.
#include "payload/extract.h"

#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/text.h"
#include "paths/template.h"
#include "payload/format.h"
#include "payload/reader.h"

static const size_t name_capacity = payload_name_max_units + 1;
static const size_t chunk_size = 32768;
static const size_t known_directories_capacity = 1024;
static const wchar_t home_template[] = L"{HOME}";

static wchar_t entry_name[name_capacity];
static wchar_t output_path[payload_path_capacity];
static wchar_t dll_path[payload_path_capacity];
static unsigned char chunk[chunk_size];

// Directories known to exist: the user's profile first, then every one this
// process created or found. Never shrinks; entries compare exactly.
static wchar_t *known_directories[known_directories_capacity];
static size_t known_directory_count;

const wchar_t *application_dll_path(void) { return dll_path; }

/*-**** Directories ****/

static void remember_directory(const wchar_t *path) {
    if (known_directory_count >= known_directories_capacity) {
        return;  // still created, no longer remembered
    }
    wchar_t *copy = _wcsdup(path);
    if (copy != NULL) {  // without memory the path just stays unremembered
        known_directories[known_directory_count++] = copy;
    }
}

static void seed_known_directories(void) {
    wchar_t home[payload_path_capacity];
    if (!expand_path_template(home, home_template, payload_path_capacity)) {
        fatal_expand_failed(home_template);
    }
    remember_directory(home);
}

static bool is_known_directory(const wchar_t *path) {
    for (size_t i = 0; i < known_directory_count; i++) {
        if (wcscmp(known_directories[i], path) == 0) {
            return true;
        }
    }
    return false;
}

static bool is_drive(const wchar_t *path) { return path[0] != L'\0' && path[1] == L':' && path[2] == L'\0'; }

bool ensure_directory(const wchar_t *path) {
    if (known_directory_count == 0) {
        seed_known_directories();
    }
    if (is_known_directory(path) || is_drive(path)) {
        return true;
    }
    if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    remember_directory(path);
    return true;
}

void create_new_directory(const wchar_t *directory, LPSECURITY_ATTRIBUTES security) {
    ensure_parent_directories(directory);
    if (CreateDirectoryW(directory, security)) {
        remember_directory(directory);
    } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
        fatal_unpack_failed();  // reports the system's "already exists"
    }
}

bool ensure_parent_directories(const wchar_t *path) {
    wchar_t parent[payload_path_capacity];
    copy_bounded(parent, path, payload_path_capacity);
    wchar_t *last = wcsrchr(parent, L'\\');
    if (last == NULL || last == parent) {
        return true;
    }
    *last = L'\0';
    if (ensure_directory(parent)) {
        return true;
    }
    ensure_parent_directories(parent);
    return ensure_directory(parent);
}

/*-**** Entry records ****/

// Reads a name one code unit at a time; false for the terminator record.
static bool read_entry_name(void) {
    payload_read(&entry_name[0], sizeof(wchar_t));
    if (entry_name[0] == L'\0') {
        return false;
    }
    size_t n = 0;
    while (entry_name[n] != L'\0') {
        if (++n >= name_capacity) {
            capacity_stop();  // a name longer than any the packer writes
        }
        payload_read(&entry_name[n], sizeof(wchar_t));
    }
    return true;
}

static void build_output_path(const wchar_t *directory) {
    size_t directory_length = wcslen(directory);
    copy_bounded(output_path, directory, payload_path_capacity);
    if (directory_length + 1 >= payload_path_capacity) {
        capacity_stop();
    }
    output_path[directory_length] = L'\\';
    copy_bounded(output_path + directory_length + 1, entry_name, payload_path_capacity - directory_length - 1);
}

static uint64_t read_entry_size(void) {
    unsigned char bytes[payload_size_field_size];
    payload_read(bytes, sizeof bytes);
    uint64_t size = 0;
    for (size_t i = sizeof bytes; i > 0; i--) {
        size = (size << 8) | bytes[i - 1];
    }
    return size;
}

// Writes the first `piece` bytes of the chunk buffer. A write that reports
// success but wrote less is continued, so a file is never left silently
// short: the next write then fails with the system's reason (a full disk
// shows up this way), and one that makes no progress at all is a failure too.
static void write_chunk(HANDLE file, DWORD piece) {
    DWORD done = 0;
    while (done < piece) {
        DWORD written = 0;
        if (!WriteFile(file, chunk + done, piece - done, &written, NULL)) {
            fatal_unpack_failed();
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);  // no forward progress
            fatal_unpack_failed();
        }
        done += written;
    }
}

// Streams `size` bytes of entry data from the reader into a new file and
// shows it to `hook` before closing it.
static void write_entry_file(uint64_t size, extract_file_hook hook) {
    HANDLE file = CreateFileW(
        /* lpFileName            */ output_path,
        /* dwDesiredAccess       */ GENERIC_WRITE,
        /* dwShareMode           */ FILE_SHARE_WRITE,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ CREATE_ALWAYS,
        /* dwFlagsAndAttributes  */ 0,
        /* hTemplateFile         */ NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fatal_open_for_writing(output_path);
    }
    for (uint64_t left = size; left > 0;) {
        DWORD piece = left < chunk_size ? (DWORD)left : (DWORD)chunk_size;
        payload_read(chunk, piece);
        write_chunk(file, piece);
        left -= piece;
    }
    if (hook != NULL) {
        hook(file, entry_name, size);
    }
    CloseHandle(file);
}

void extract_entries(extract_role role, const wchar_t *directory, extract_file_hook hook) {
    while (read_entry_name()) {
        build_output_path(directory);
        if (dll_path[0] == L'\0') {
            copy_bounded(dll_path, output_path, payload_path_capacity);
            if (role == extract_as_child) {
                return;
            }
        }
        uint64_t size = read_entry_size();
        ensure_parent_directories(output_path);
        write_entry_file(size, hook);
    }
}
