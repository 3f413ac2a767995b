// The cache of the unpacked directory.
//
// The final directory F (the expanded template, the same in every run of
// this version) is trusted only when it is complete: its record file
// (.velsor\complete) ends with its end line and every file it lists still
// has its size. The record is written last, in a private sibling
// "F.new-<token>" that is published by renaming it to F, so a run that dies
// half-way never leaves an F that a later run would trust. Of several first
// runs at once, one rename wins; the others use the winner's F and remove
// their own private directory.
//
// Each run holds .velsor\in-use of the directory it uses open without
// delete sharing for as long as it lives. A directory beside F (another
// version, or a private or set-aside one left by a killed run) is removed
// only after that file could be deleted: a sharing violation means a
// running instance uses it, and it stays.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "launcher/fatal.h"
#include "launcher/run_state.h"
#include "launcher/unpack_mode.h"
#include "paths/env.h"
#include "paths/own_path.h"
#include "paths/token.h"
#include "payload/format.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t));
#include "payload/extract.h"
#include "payload/format.h"

static const wchar_t record_name[] = L"complete";
static const wchar_t in_use_name[] = L"in-use";
static const wchar_t record_header[] = L"velsor cache 1\n";
static const wchar_t record_end[] = L"end\n";
static const wchar_t private_infix[] = L".new-";
static const wchar_t set_aside_infix[] = L".old-";
static const size_t version_name_digits = 16;
static const size_t number_text_capacity = 32;
static const int publish_checks = 20;
static const DWORD publish_check_pause_ms = 100;
static const DWORD in_use_share = FILE_SHARE_READ | FILE_SHARE_WRITE;  // no FILE_SHARE_DELETE

static wchar_t final_directory[target_directory_capacity];
static wchar_t private_directory[target_directory_capacity];
static HANDLE in_use = INVALID_HANDLE_VALUE;

// The record being built while the private directory is filled.
static wchar_t *record_text;
static size_t record_length;
static size_t record_capacity;

/*-**** Paths ****/

// output = directory + "\" + name (+ "\" + leaf when leaf is not null).
static void join_path(wchar_t *output, const wchar_t *directory, const wchar_t *name, const wchar_t *leaf) {
    int n = leaf == NULL ? _snwprintf(output, payload_path_capacity, L"%ls\\%ls", directory, name)
                         : _snwprintf(output, payload_path_capacity, L"%ls\\%ls\\%ls", directory, name, leaf);
    if (n < 0 || (size_t)n >= payload_path_capacity) {
        capacity_stop();
    }
}

static void reserved_path(wchar_t *output, const wchar_t *directory, const wchar_t *leaf) {
    join_path(output, directory, (const wchar_t *)velsor_directory_name, leaf);
}

static bool is_directory(const wchar_t *path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A sibling that velsor may remove: 16 hex digits (a version), optionally
// followed by a "." suffix (a private or set-aside directory), holding the
// reserved directory.
static bool is_cache_directory(const wchar_t *parent, const wchar_t *name) {
    for (size_t i = 0; i < version_name_digits; i++) {
        if (!iswxdigit(name[i])) {
            return false;
        }
    }
    if (name[version_name_digits] != L'\0' && name[version_name_digits] != L'.') {
        return false;
    }
    wchar_t directory[payload_path_capacity];
    wchar_t reserved[payload_path_capacity];
    join_path(directory, parent, name, NULL);
    reserved_path(reserved, directory, NULL);
    return is_directory(reserved);
}

/*-**** Removal ****/

// Deletes `path` and everything below it, as far as it can.
static void remove_tree(const wchar_t *path) {
    wchar_t pattern[payload_path_capacity];
    join_path(pattern, path, L"*", NULL);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
                continue;
            }
            wchar_t *child = (wchar_t *)malloc(payload_path_capacity * sizeof(wchar_t));
            if (child == NULL) {
                break;
            }
            join_path(child, path, found.cFileName, NULL);
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                remove_tree(child);
            } else {
                SetFileAttributesW(child, FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child);
            }
            free(child);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path);
}

// Removes a directory that no running instance uses; false when one does.
// A published directory is first renamed away, so that no run finds it
// under its name while its files go.
static bool retire_directory(const wchar_t *path, bool published) {
    wchar_t lock[payload_path_capacity];
    reserved_path(lock, path, in_use_name);
    if (!DeleteFileW(lock)) {
        DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED) {
            return false;
        }
    }
    if (!published) {
        remove_tree(path);
        return true;
    }
    wchar_t token[random_token_capacity];
    wchar_t aside[payload_path_capacity];
    make_random_token(token);
    int n = _snwprintf(aside, payload_path_capacity, L"%ls%ls%ls", path, set_aside_infix, token);
    if (n < 0 || (size_t)n >= payload_path_capacity) {
        capacity_stop();
    }
    if (!MoveFileExW(path, aside, 0)) {
        return false;  // a file inside is still open
    }
    remove_tree(aside);
    return true;
}

// Removes the unused directories beside the final one: other versions, and
// private or set-aside directories left behind by runs that were killed.
static void remove_unused_siblings(void) {
    wchar_t parent[payload_path_capacity];
    copy_bounded(parent, final_directory, payload_path_capacity);
    wchar_t *last = wcsrchr(parent, L'\\');
    if (last == NULL) {
        return;
    }
    *last = L'\0';
    const wchar_t *own_name = final_directory + (last + 1 - parent);
    wchar_t pattern[payload_path_capacity];
    join_path(pattern, parent, L"*", NULL);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (directory && _wcsicmp(found.cFileName, own_name) != 0 && is_cache_directory(parent, found.cFileName)) {
            wchar_t sibling[payload_path_capacity];
            join_path(sibling, parent, found.cFileName, NULL);
            retire_directory(sibling, found.cFileName[version_name_digits] == L'\0');
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

/*-**** Holding a directory in use ****/

static HANDLE open_in_use_file(const wchar_t *directory) {
    wchar_t path[payload_path_capacity];
    reserved_path(path, directory, in_use_name);
    return CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ GENERIC_READ,
        /* dwShareMode           */ in_use_share,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_ALWAYS,
        /* dwFlagsAndAttributes  */ FILE_ATTRIBUTE_NORMAL,
        /* hTemplateFile         */ NULL);
}

static void release_in_use_file(void) {
    if (in_use != INVALID_HANDLE_VALUE) {
        CloseHandle(in_use);
        in_use = INVALID_HANDLE_VALUE;
    }
}

/*-**** The record ****/

static void append_record(const wchar_t *text) {
    size_t length = wcslen(text);
    if (record_length + length + 1 > record_capacity) {
        size_t capacity = (record_capacity + length + 1) * 2;
        wchar_t *grown = (wchar_t *)realloc(record_text, capacity * sizeof(wchar_t));
        if (grown == NULL) {
            fatal_out_of_memory();
        }
        record_text = grown;
        record_capacity = capacity;
    }
    wmemcpy(record_text + record_length, text, length + 1);
    record_length += length;
}

void unpack_cache_note_file(const wchar_t *name, uint64_t size) {
    char narrow[number_text_capacity];
    wchar_t wide[number_text_capacity];
    snprintf(narrow, sizeof narrow, "%llu ", (unsigned long long)size);
    widen_ascii(narrow, wide, number_text_capacity);
    append_record(wide);
    append_record(name);
    append_record(L"\n");
}

static void write_record(const wchar_t *directory) {
    append_record(record_end);
    wchar_t path[payload_path_capacity];
    reserved_path(path, directory, record_name);
    HANDLE file = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ GENERIC_WRITE,
        /* dwShareMode           */ 0,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ CREATE_ALWAYS,
        /* dwFlagsAndAttributes  */ FILE_ATTRIBUTE_NORMAL,
        /* hTemplateFile         */ NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fatal_unpack_failed();
    }
    DWORD bytes = (DWORD)(record_length * sizeof(wchar_t));
    DWORD written = 0;
    if (!WriteFile(file, record_text, bytes, &written, NULL) || written != bytes) {
        DWORD code = GetLastError();
        CloseHandle(file);
        SetLastError(code);
        fatal_unpack_failed();
    }
    CloseHandle(file);
}

// The whole record file as text ending in a 0 code unit, or null. The caller frees it.
static wchar_t *read_record(const wchar_t *directory) {
    wchar_t path[payload_path_capacity];
    reserved_path(path, directory, record_name);
    HANDLE file = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ GENERIC_READ,
        /* dwShareMode           */ FILE_SHARE_READ,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ FILE_ATTRIBUTE_NORMAL,
        /* hTemplateFile         */ NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return NULL;
    }
    LARGE_INTEGER size;
    wchar_t *text = NULL;
    if (GetFileSizeEx(file, &size) && size.QuadPart < MAXDWORD && size.QuadPart % sizeof(wchar_t) == 0) {
        DWORD bytes = (DWORD)size.QuadPart;
        text = (wchar_t *)malloc(bytes + sizeof(wchar_t));
        DWORD read = 0;
        if (text != NULL && (!ReadFile(file, text, bytes, &read, NULL) || read != bytes)) {
            free(text);
            text = NULL;
        }
        if (text != NULL) {
            text[bytes / sizeof(wchar_t)] = L'\0';
        }
    }
    CloseHandle(file);
    return text;
}

// One record line "<size> <name>": true when that file below `directory`
// still has that size.
static bool line_file_intact(const wchar_t *directory, const wchar_t *line) {
    unsigned long long size = 0;
    const wchar_t *p = line;
    for (; iswdigit(*p); p++) {
        size = size * 10 + (unsigned long long)(*p - L'0');
    }
    if (p == line || *p != L' ') {
        return false;
    }
    wchar_t path[payload_path_capacity];
    join_path(path, directory, p + 1, NULL);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    return (((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow) == size;
}

// Complete: the record begins with its header and ends with its end line,
// and every file it lists is there with its size.
static bool directory_complete(const wchar_t *directory) {
    wchar_t *text = read_record(directory);
    if (text == NULL) {
        return false;
    }
    size_t length = wcslen(text);
    size_t header = wcslen(record_header);
    size_t end = wcslen(record_end);
    bool complete = length >= header + end && wcsncmp(text, record_header, header) == 0 &&
                    wcscmp(text + length - end, record_end) == 0;
    if (complete) {
        text[length - end] = L'\0';  // the end line is not a file
    }
    for (wchar_t *line = text + header; complete && *line != L'\0';) {
        wchar_t *newline = wcschr(line, L'\n');
        if (newline == NULL) {
            complete = false;
            break;
        }
        *newline = L'\0';
        complete = line_file_intact(directory, line);
        line = newline + 1;
    }
    free(text);
    return complete;
}

/*-**** The run ****/

// Holds the final directory in use and checks it; false (holding nothing)
// when it is missing or incomplete.
static bool use_published_directory(void) {
    in_use = open_in_use_file(final_directory);
    if (in_use == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (directory_complete(final_directory)) {
        return true;
    }
    release_in_use_file();
    return false;
}

// Unpacks every file into a fresh private sibling of the final directory,
// held in use while it is filled, and writes the record last.
static void unpack_private_directory(void) {
    wchar_t token[random_token_capacity];
    make_random_token(token);
    int n = _snwprintf(private_directory, target_directory_capacity, L"%ls%ls%ls", final_directory, private_infix,
                       token);
    if (n < 0 || (size_t)n >= target_directory_capacity) {
        capacity_stop();
    }
    wchar_t reserved[payload_path_capacity];
    reserved_path(reserved, private_directory, NULL);
    if (!ensure_directory(private_directory) || !ensure_directory(reserved)) {
        fatal_unpack_failed();
    }
    in_use = open_in_use_file(private_directory);
    record_length = 0;
    append_record(record_header);
    copy_bounded(target_directory, private_directory, target_directory_capacity);
    extract_entries(extract_as_parent);
    copy_bounded(target_directory, final_directory, target_directory_capacity);
    write_record(private_directory);
    release_in_use_file();  // a directory with an open file inside cannot be renamed
}

// Renames the private directory to the final name. A rename refused while
// the final name is still free (a scanner holding a new file open, say) is
// tried again; once another run has published first, ours goes.
static void publish_private_directory(void) {
    for (int check = 0; check < publish_checks; check++) {
        if (MoveFileExW(private_directory, final_directory, 0)) {
            return;
        }
        if (is_directory(final_directory)) {
            break;
        }
        Sleep(publish_check_pause_ms);
    }
    remove_tree(private_directory);
}

// The payload is read once per run, so this run unpacks at most once; if
// its own directory cannot be published, another run's published one is
// waited for a little.
void unpack_cache_prepare(void) {
    copy_bounded(final_directory, target_directory, target_directory_capacity);
    if (!ensure_parent_directories(final_directory)) {
        fatal_unpack_failed();
    }
    remove_unused_siblings();
    if (use_published_directory()) {
        return;
    }
    if (is_directory(final_directory)) {
        retire_directory(final_directory, true);  // damaged; stays if another run still uses it
    }
    unpack_private_directory();
    publish_private_directory();
    for (int check = 0; check < publish_checks; check++) {
        if (use_published_directory()) {
            return;
        }
        Sleep(publish_check_pause_ms);
    }
    fatal_error("Error, cached directory is damaged and in use.");
}
