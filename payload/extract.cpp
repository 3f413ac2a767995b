// File extraction.
#include "payload/extract.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/text.h"
#include "files/relative.h"
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

// Directories known to exist above the run's own: the user's profile first,
// then every one created or found on the way to it. Never shrinks; entries
// compare exactly.
static wchar_t *known_directories[known_directories_capacity];
static size_t known_directory_count;

const wchar_t *application_dll_path(void) { return dll_path; }

/*-**** Directories above the run's own ****/

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

/*-**** The run's own directories ****/
// The top directory and every directory below it are created new by this
// run and held open (files/relative.h) while it writes; each is found again
// by its path relative to the top, never by its full path. A name that
// exists already was not made by this run, and stops it.

struct run_directory_entry {
    wchar_t *relative;  // backslash-separated, below the top
    HANDLE handle;
};

static HANDLE top_handle = INVALID_HANDLE_VALUE;
static LPSECURITY_ATTRIBUTES top_security;  // given to everything below the top too
static DWORD top_error;  // why the top could not be created
static run_directory_entry *run_directories;
static size_t run_directory_count;
static size_t run_directory_capacity;
static size_t last_used;  // entries come grouped by directory

// Letter case does not tell names apart on Windows' file systems.
static wchar_t folded(wchar_t c) { return (wchar_t)towupper((wint_t)c); }

static bool same_name(const wchar_t *a, const wchar_t *b, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (folded(a[i]) != folded(b[i])) {
            return false;
        }
    }
    return b[length] == L'\0';
}

static HANDLE find_run_directory(const wchar_t *relative, size_t length) {
    if (last_used < run_directory_count && same_name(relative, run_directories[last_used].relative, length)) {
        return run_directories[last_used].handle;
    }
    for (size_t i = 0; i < run_directory_count; i++) {
        if (same_name(relative, run_directories[i].relative, length)) {
            last_used = i;
            return run_directories[i].handle;
        }
    }
    return INVALID_HANDLE_VALUE;
}

static void add_run_directory(const wchar_t *relative, size_t length, HANDLE handle) {
    if (run_directory_count == run_directory_capacity) {
        size_t capacity = run_directory_capacity == 0 ? 64 : 2 * run_directory_capacity;
        void *grown = realloc(run_directories, capacity * sizeof *run_directories);
        if (grown == NULL) {
            fatal_out_of_memory();
        }
        run_directories = (run_directory_entry *)grown;
        run_directory_capacity = capacity;
    }
    wchar_t *copy = (wchar_t *)malloc((length + 1) * sizeof(wchar_t));
    if (copy == NULL) {
        fatal_out_of_memory();
    }
    memcpy(copy, relative, length * sizeof(wchar_t));  // not wmemcpy: the fuzz build narrows wchar_t
    copy[length] = L'\0';
    last_used = run_directory_count;
    run_directories[run_directory_count++] = {copy, handle};
}

/*-**** Names this run wrote ****/
// A later record with the name of a file this run already wrote replaces
// that file; any other file that exists is not the run's. The names are
// kept as 64-bit hashes, case folded, in an open-addressing table.

static uint64_t *written_names;
static size_t written_capacity;
static size_t written_count;

static uint64_t name_hash(const wchar_t *name) {
    uint64_t hash = 14695981039346656037ull;
    for (; *name != L'\0'; name++) {
        hash = (hash ^ (uint64_t)(uint16_t)folded(*name)) * 1099511628211ull;
    }
    return hash == 0 ? 1 : hash;  // 0 marks a free slot
}

static bool insert_hash(uint64_t *table, size_t capacity, uint64_t hash) {
    for (size_t i = hash & (capacity - 1);; i = (i + 1) & (capacity - 1)) {
        if (table[i] == hash) {
            return false;
        }
        if (table[i] == 0) {
            table[i] = hash;
            return true;
        }
    }
}

static void grow_written_names(void) {
    size_t capacity = written_capacity == 0 ? 256 : 2 * written_capacity;
    uint64_t *table = (uint64_t *)calloc(capacity, sizeof(uint64_t));
    if (table == NULL) {
        fatal_out_of_memory();
    }
    for (size_t i = 0; i < written_capacity; i++) {
        if (written_names[i] != 0) {
            insert_hash(table, capacity, written_names[i]);
        }
    }
    free(written_names);
    written_names = table;
    written_capacity = capacity;
}

// Notes `name` as written; false when it was written before.
static bool note_written(const wchar_t *name) {
    if (2 * (written_count + 1) > written_capacity) {
        grow_written_names();
    }
    bool fresh = insert_hash(written_names, written_capacity, name_hash(name));
    written_count += fresh ? 1 : 0;
    return fresh;
}

static bool was_written(const wchar_t *name) {
    if (written_capacity == 0) {
        return false;
    }
    uint64_t hash = name_hash(name);
    for (size_t i = hash & (written_capacity - 1); written_names[i] != 0; i = (i + 1) & (written_capacity - 1)) {
        if (written_names[i] == hash) {
            return true;
        }
    }
    return false;
}

/*-**** Creating the run's directories ****/

// Stops the run for a name that could not be created: one that someone
// else put there is the unpack error; the run's own file in the way of a
// directory, and any other failure, the open-for-writing one.
[[noreturn]] static void fatal_not_created(const wchar_t *relative) {
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS && !was_written(relative)) {
        SetLastError(code);
        fatal_unpack_failed();
    }
    fatal_open_for_writing(output_path);
}

// The handle of the run's directory `relative` (its first `length` units),
// created new relative to its parent's handle the first time.
static HANDLE run_directory(wchar_t *relative, size_t length) {
    HANDLE found = find_run_directory(relative, length);
    if (found != INVALID_HANDLE_VALUE) {
        return found;
    }
    size_t cut = length;
    while (cut > 0 && relative[cut - 1] != L'\\') {
        cut--;
    }
    HANDLE parent = cut == 0 ? top_handle : run_directory(relative, cut - 1);
    HANDLE created = create_directory_at(parent, relative + cut, length - cut, top_security);
    if (created == INVALID_HANDLE_VALUE) {
        wchar_t saved = relative[length];
        relative[length] = L'\0';
        fatal_not_created(relative);  // relative[length] stays cut: the process ends
        relative[length] = saved;
    }
    add_run_directory(relative, length, created);
    return created;
}

void create_new_directory(const wchar_t *directory, LPSECURITY_ATTRIBUTES security) {
    ensure_parent_directories(directory);
    top_security = security;
    top_handle = create_directory_new(directory, security);
    if (top_handle != INVALID_HANDLE_VALUE) {
        return;
    }
    top_error = GetLastError();
    if (top_error == ERROR_ALREADY_EXISTS) {
        fatal_unpack_failed();  // reports the system's "already exists"
    }
    // Any other failure is reported at the first file, as the file that
    // could not be written; nothing is written into a directory this run
    // did not create.
}

HANDLE extraction_directory(const wchar_t *relative) {
    if (top_handle == INVALID_HANDLE_VALUE) {
        SetLastError(top_error);
        fatal_unpack_failed();
    }
    if (relative == NULL) {
        return top_handle;
    }
    wchar_t copy[name_capacity];
    copy_bounded(copy, relative, name_capacity);
    return run_directory(copy, wcslen(copy));
}

void release_extraction_directories(void) {
    for (size_t i = 0; i < run_directory_count; i++) {
        CloseHandle(run_directories[i].handle);
        free(run_directories[i].relative);
    }
    run_directory_count = 0;
    last_used = 0;
    if (top_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(top_handle);
        top_handle = INVALID_HANDLE_VALUE;
    }
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

// The entry's name as parts below the top: a path joined by name took
// leading and doubled backslashes as one separator, and so does this.
static void squeeze_separators(const wchar_t *name, wchar_t *parts) {
    size_t n = 0;
    for (const wchar_t *p = name; *p != L'\0'; p++) {
        if (*p != L'\\' || (n > 0 && parts[n - 1] != L'\\')) {
            parts[n++] = *p;
        }
    }
    parts[n] = L'\0';
}

// Creates the entry's file in its directory, relative to that directory's
// handle: new, or replacing a file of the same name that this run wrote.
static HANDLE create_entry_file(void) {
    if (top_handle == INVALID_HANDLE_VALUE) {
        SetLastError(top_error);
        fatal_open_for_writing(output_path);
    }
    static wchar_t parts[name_capacity];
    squeeze_separators(entry_name, parts);
    HANDLE directory = top_handle;
    const wchar_t *leaf = parts;
    wchar_t *last = wcsrchr(parts, L'\\');
    if (last != NULL) {
        directory = run_directory(parts, (size_t)(last - parts));
        leaf = last + 1;
    }
    bool again = !note_written(parts);
    HANDLE file = create_file_at(directory, leaf, again, top_security);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS) {
            fatal_unpack_failed();  // someone else's file, or directory, of that name
        }
        fatal_open_for_writing(output_path);
    }
    return file;
}

// Streams `size` bytes of entry data from the reader into a new file and
// shows it to `hook` before closing it.
static void write_entry_file(uint64_t size, extract_file_hook hook) {
    HANDLE file = create_entry_file();
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
        write_entry_file(size, hook);
    }
}
