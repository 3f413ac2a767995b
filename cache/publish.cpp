// The cache of the unpacked directory: the publication protocol.
//
// The final directory F (the expanded template, the same in every run of
// this version) is used only when it passes the trust checks
// (cache_trust.cpp). Otherwise a run unpacks into a private sibling
// "F.new-<program tag>-<token>", created owner-only so that nobody else can touch it from
// the moment it exists, flushes every file, writes the record last, and
// publishes the directory by renaming it to F. A run that dies half-way
// leaves no F that a later run would trust.
//
// Runs of the same cache agree through a named mutex per parent directory,
// held around scanning and retiring siblings, checking and taking F into
// use, and publishing; the unpacking itself runs outside it. Each run holds
// .velsor\in-use of the directory it uses open without delete sharing for
// as long as it lives, so no other run retires it meanwhile.
#include "cache/cache.h"

#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/layout.h"
#include "base/text.h"
#include "cache/lock.h"
#include "cache/record.h"
#include "cache/retire.h"
#include "cache/trust.h"
#include "files/owner.h"
#include "files/remove.h"
#include "paths/join.h"
#include "paths/own_path.h"
#include "paths/token.h"
#include "payload/extract.h"
#include "payload/reader.h"

static const int publish_attempts = 20;
static const DWORD publish_pause_ms = 100;
static const DWORD in_use_share = FILE_SHARE_READ | FILE_SHARE_WRITE;  // no FILE_SHARE_DELETE
// Recorded write times are whole multiples of 2 s, which every file system
// keeps exactly (FAT keeps no finer times).
static const uint64_t write_time_step = 20000000;

static const wchar_t *program;  // the executable the directory belongs to
static wchar_t program_tag[cache_tag_capacity];
static owner_only_security security;
static cache_record record;
static HANDLE in_use = INVALID_HANDLE_VALUE;
static const wchar_t *final_directory;  // the expanded template, F

/*-**** Holding a directory in use ****/

static bool hold_in_use(const wchar_t *directory) {
    wchar_t path[payload_path_capacity];
    if (!join_path(path, directory, wide_name(velsor_directory_name), wide_name(cache_in_use_leaf))) {
        return false;
    }
    in_use = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ GENERIC_READ,
        /* dwShareMode           */ in_use_share,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_ALWAYS,
        /* dwFlagsAndAttributes  */ FILE_ATTRIBUTE_NORMAL,
        /* hTemplateFile         */ NULL);
    return in_use != INVALID_HANDLE_VALUE;
}

static void release_in_use(void) {
    if (in_use != INVALID_HANDLE_VALUE) {
        CloseHandle(in_use);
        in_use = INVALID_HANDLE_VALUE;
    }
}

// Takes `directory` into use when it is trusted; false (holding nothing)
// otherwise. Called with the mutex held, so no run retires it in between.
static bool use_if_trusted(const wchar_t *directory) {
    if (!cache_directory_trusted(directory, program, NULL)) {
        return false;
    }
    return hold_in_use(directory);
}

/*-**** Writing the private directory ****/

// Writes the record as it stands, flushed to disk.
static void write_record(const wchar_t *directory) {
    wchar_t path[payload_path_capacity];
    if (!join_path(path, directory, wide_name(velsor_directory_name), wide_name(cache_record_leaf))) {
        capacity_stop();
    }
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
    DWORD bytes = (DWORD)(record.length * sizeof(wchar_t));
    DWORD written = 0;
    if (!WriteFile(file, record.text, bytes, &written, NULL) || written != bytes || !FlushFileBuffers(file)) {
        DWORD code = GetLastError();
        CloseHandle(file);
        SetLastError(code);
        fatal_unpack_failed();
    }
    CloseHandle(file);
}

// Each written file is flushed before the rename that publishes it, and
// given a write time of our choosing, which the record keeps.
static void note_written_file(HANDLE file, const wchar_t *name, uint64_t size) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t time = filetime_count(now) / write_time_step * write_time_step;
    FILETIME stamp = {(DWORD)time, (DWORD)(time >> 32)};
    if (!FlushFileBuffers(file) || !SetFileTime(file, NULL, NULL, &stamp)) {
        fatal_unpack_failed();
    }
    if (!cache_record_add_file(&record, name, size, time)) {
        fatal_out_of_memory();
    }
}

static void create_private_directory(wchar_t *directory) {
    wchar_t token[random_token_capacity];
    make_secret_token(token);
    int n = _snwprintf(directory, payload_path_capacity, L"%ls%ls%ls-%ls", final_directory, wide_name(cache_private_infix),
                       program_tag, token);
    if (n < 0 || (size_t)n >= payload_path_capacity) {
        capacity_stop();
    }
    create_new_directory(directory, &security.attributes);
    extraction_directory(wide_name(velsor_directory_name));
    if (!hold_in_use(directory)) {
        fatal_unpack_failed();
    }
}

// Unpacks every file into a new private sibling of the final directory,
// held in use while it is filled. Its record names the program from the
// start (so that a killed run's leftovers are known as this program's) and
// lists the files once they are all written.
static void unpack_private_directory(wchar_t *directory) {
    create_private_directory(directory);
    if (!cache_record_start(&record, program)) {
        fatal_out_of_memory();
    }
    write_record(directory);
    extract_entries(extract_as_parent, directory, note_written_file);
    release_extraction_directories();
    if (!payload_frame_intact()) {
        release_in_use();
        remove_tree(directory);
        fatal_decode_failed();
    }
    if (!cache_record_finish(&record)) {
        fatal_out_of_memory();
    }
    write_record(directory);
    release_in_use();  // a directory with an open file inside cannot be renamed
}

/*-**** Publishing ****/

// Renames the private directory to the final name, under the mutex. A
// rename refused while the final name is still free (a scanner holding a
// new file open, say) is tried again; once another run has published
// first, ours goes and theirs is used if it is trusted.
static bool publish_private_directory(const wchar_t *directory) {
    for (int attempt = 0; attempt < publish_attempts; attempt++) {
        if (MoveFileExW(directory, final_directory, 0)) {
            break;
        }
        if (GetFileAttributesW(final_directory) != INVALID_FILE_ATTRIBUTES) {
            remove_tree(directory);
            break;
        }
        Sleep(publish_pause_ms);
    }
    return use_if_trusted(final_directory);
}

// Under the mutex: retires what this program no longer uses, then takes
// the final directory into use if it is trusted. A final directory that
// fails the checks is set aside; one that cannot be (a file in it is still
// open) ends the run, since it cannot be replaced.
static bool use_published_directory(const wchar_t *parent, const wchar_t *own_name) {
    cache_retire_siblings(parent, own_name, program);
    if (use_if_trusted(final_directory)) {
        return true;
    }
    bool present = GetFileAttributesW(final_directory) != INVALID_FILE_ATTRIBUTES;
    if (present && !cache_set_aside(final_directory, program_tag)) {
        fatal_error("Error, cached directory is damaged and in use.");
    }
    return false;
}

// The parent of the final directory, owner-only when this run creates it;
// `own_name` is set to the final directory's name in it.
static void prepare_parent(wchar_t *parent, const wchar_t **own_name) {
    copy_bounded(parent, final_directory, payload_path_capacity);
    wchar_t *last = wcsrchr(parent, L'\\');
    if (last == NULL) {
        capacity_stop();  // a full path always has one
    }
    *last = L'\0';
    *own_name = final_directory + (last + 1 - parent);
    if (!ensure_parent_directories(parent)) {
        fatal_unpack_failed();
    }
    if (!CreateDirectoryW(parent, &security.attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fatal_unpack_failed();
    }
}

// The payload is read once per run, so this run unpacks at most once.
void cache_prepare(const wchar_t *directory) {
    final_directory = directory;
    program = get_own_executable_path(true);
    cache_program_tag(program, program_tag);
    if (!make_owner_only_security(&security)) {
        fatal_unpack_failed();
    }
    wchar_t parent[payload_path_capacity];
    const wchar_t *own_name = NULL;
    prepare_parent(parent, &own_name);
    HANDLE lock = cache_lock_take(parent);
    bool used = use_published_directory(parent, own_name);
    cache_lock_release(lock);
    if (used) {
        return;
    }
    wchar_t private_directory[payload_path_capacity];
    unpack_private_directory(private_directory);
    lock = cache_lock_take(parent);
    used = publish_private_directory(private_directory);
    cache_lock_release(lock);
    if (!used) {
        fatal_error("Error, cached directory is damaged and in use.");
    }
}
