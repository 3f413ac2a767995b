// The cache of the unpacked directory: the publication protocol.
//
// The final directory F (the expanded template, the same in every run of
// this version) is used only when it passes the trust checks
// (cache_trust.cpp). Otherwise a run unpacks into a private sibling
// "F.new-<program tag>-<token>", created owner-only so that nobody else can touch it from
// the moment it exists, writes the record last, and publishes the directory
// by renaming it to F. A run that dies half-way leaves no F that a later run
// would trust.
//
// The start does not wait for the disk: the record says the directory is
// unflushed since this boot (cache/boot.h). Until the system stops, its
// cache holds what was written, so the directory is used as it is; the
// first later start that can open every file flushes them all and writes
// the record again without the mark (cache/trust.cpp). After a new boot,
// an unflushed directory is not trusted: a file may have lost what it held.
//
// The parent directory must be this user's own, changeable by no one else
// (a base that someone else made or may change is refused): inside it, only
// this user's runs can have put anything. Runs of the same cache agree
// through a lock file in it, held without sharing around scanning and
// retiring siblings, checking and taking F into use, and publishing; the
// unpacking itself runs outside it. A run never goes on without the lock.
// Each run holds F, everything its check looked at (cache/trust.h) and
// .velsor\in-use open without delete sharing for as long as it lives, so
// no other run retires it meanwhile and nobody swaps what was checked.
#include "cache/cache.h"

#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/layout.h"
#include "base/text.h"
#include "cache/boot.h"
#include "cache/lock.h"
#include "cache/record.h"
#include "cache/retire.h"
#include "cache/stamp.h"
#include "cache/trust.h"
#include "files/owner.h"
#include "files/relative.h"
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

/*-**** The record file ****/

// Writes `text` as the record in the held .velsor directory `velsor`: a new
// file, or with `replace` over the one there; with `durable`, flushed to
// disk (a private directory's record, marked unflushed, need not be).
static bool write_record_at(HANDLE velsor, const cache_record *text, bool replace, bool durable) {
    HANDLE file = create_file_at(velsor, wide_name(cache_record_leaf), replace, &security.attributes);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD bytes = (DWORD)(text->length * sizeof(wchar_t));
    DWORD count = 0;
    bool written =
        WriteFile(file, text->text, bytes, &count, NULL) && count == bytes && (!durable || FlushFileBuffers(file));
    DWORD code = GetLastError();
    CloseHandle(file);
    SetLastError(code);
    return written;
}

/*-**** Holding a directory in use ****/

// Opens .velsor\in-use through the held .velsor directory `velsor`.
static bool hold_in_use(HANDLE velsor) {
    in_use = velsor == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE
                                            : open_file_at(velsor, wide_name(cache_in_use_leaf), in_use_share);
    return in_use != INVALID_HANDLE_VALUE;
}

static void release_in_use(void) {
    if (in_use != INVALID_HANDLE_VALUE) {
        CloseHandle(in_use);
        in_use = INVALID_HANDLE_VALUE;
    }
}

// Takes `directory` into use when it is trusted, holding what was checked;
// false (holding nothing) otherwise. Called with the lock held, so no run
// retires it in between.
static bool use_if_trusted(const wchar_t *directory, trust_use use) {
    if (!cache_directory_trusted(directory, program, NULL, use) || !hold_in_use(cache_held_velsor_directory())) {
        return false;
    }
    // A directory the application wrote into keeps its new times, and one
    // whose files are now all on disk loses its unflushed mark. Should the
    // write fail, the next start just looks at the files once more.
    const cache_record *fresh = cache_held_fresh_record();
    if (fresh != NULL) {
        write_record_at(cache_held_velsor_directory(), fresh, true, true);
    }
    return true;
}

/*-**** Writing the private directory ****/

// Writes the record as it stands through the private directory's .velsor
// handle: new the first time, replaced afterwards.
static void write_record(void) {
    static bool written;
    if (!write_record_at(extraction_directory(wide_name(velsor_directory_name)), &record, written, false)) {
        fatal_unpack_failed();
    }
    written = true;
}

// Each written file is given a write time of our choosing, which the
// record keeps.
static uint64_t stamp_time(void) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return filetime_count(now) / write_time_step * write_time_step;
}

static void note_written_file(HANDLE file, const wchar_t *name, uint64_t size) {
    uint64_t time = stamp_time();
    FILETIME stamp = {(DWORD)time, (DWORD)(time >> 32)};
    if (!SetFileTime(file, NULL, NULL, &stamp)) {
        fatal_unpack_failed();
    }
    if (!cache_record_add_file(&record, name, size, time) || !stamp_note_file(name)) {
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
    if (!hold_in_use(extraction_directory(wide_name(velsor_directory_name)))) {
        fatal_unpack_failed();
    }
}

// Unpacks every file into a new private sibling of the final directory,
// held (its directories and its in-use file) while it is filled and until
// it is published. Its record names the program from the start (so that a
// killed run's leftovers are known as this program's) and lists the files
// once they are all written.
static void unpack_private_directory(wchar_t *directory) {
    create_private_directory(directory);
    if (!cache_record_start(&record, program)) {
        fatal_out_of_memory();
    }
    write_record();
    extract_entries(extract_as_parent, directory, note_written_file);
    if (!payload_frame_intact()) {
        release_in_use();
        release_extraction_directories();
        remove_tree(directory);
        fatal_decode_failed();
    }
    if (!cache_record_add_unflushed(&record, boot_time())) {
        fatal_out_of_memory();
    }
    if (!stamp_directories(&record, stamp_time())) {
        fatal_unpack_failed();
    }
    if (!cache_record_finish(&record)) {
        fatal_out_of_memory();
    }
    write_record();
}

/*-**** Publishing ****/

// Renames the private directory to the final name, under the lock, once
// it is no longer held (a held directory cannot be renamed). A rename
// refused while the final name is still free (a scanner holding a new file
// open, say) is tried again; once another run has published first, ours
// goes and theirs is used if it is trusted.
static bool publish_private_directory(const wchar_t *directory) {
    release_in_use();
    release_extraction_directories();
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
    // The directory this run just wrote need not be flushed again now.
    return use_if_trusted(final_directory, trust_and_hold);
}

// A final directory that fails the checks may be replaced only when it is
// this user's own directory: never a link (which Wine would rename in its
// target's place), never another owner's.
static void set_aside_untrusted(void) {
    DWORD attributes = GetFileAttributesW(final_directory);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !owned_by_current_user(final_directory)) {
        fatal_error("Error, cached directory is in the way and not this user's.");
    }
    if (!cache_set_aside(final_directory, program_tag)) {
        fatal_error("Error, cached directory is damaged and in use.");
    }
}

// Under the lock: retires what this program no longer uses, then takes
// the final directory into use if it is trusted. A final directory that
// fails the checks is set aside; one that cannot be (a file in it is still
// open) ends the run, since it cannot be replaced.
static bool use_published_directory(const wchar_t *parent, const wchar_t *own_name) {
    cache_retire_siblings(parent, own_name, program);
    if (use_if_trusted(final_directory, trust_hold_and_flush)) {
        return true;
    }
    set_aside_untrusted();
    return false;
}

// The parent of the final directory, held for the run: owner-only when
// this run creates it, and refused unless it is this user's own and nobody
// else may change it. `own_name` is set to the final directory's name in it.
static HANDLE hold_private_parent(wchar_t *parent, const wchar_t **own_name) {
    copy_bounded(parent, final_directory, payload_path_capacity);
    wchar_t *last = wcsrchr(parent, L'\\');
    if (last == NULL) {
        capacity_stop();  // a full path always has one
    }
    *last = L'\0';
    *own_name = final_directory + (last + 1 - parent);
    HANDLE held = hold_directory(parent);  // there already on every start but the first
    if (held == INVALID_HANDLE_VALUE) {
        if (!ensure_parent_directories(parent)) {
            fatal_unpack_failed();
        }
        if (!CreateDirectoryW(parent, &security.attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
            fatal_unpack_failed();
        }
        held = hold_directory(parent);
    }
    if (held == INVALID_HANDLE_VALUE || !held_owned_and_private(held, parent, NULL)) {
        fatal_error("Error, the cache's folder is not this user's own, or others may change it.");
    }
    return held;  // never closed: the process's end closes it
}

const wchar_t *cache_application_dll(void) { return cache_held_application_dll(); }

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
    HANDLE held_parent = hold_private_parent(parent, &own_name);
    HANDLE lock = cache_lock_take(held_parent);
    bool used = use_published_directory(parent, own_name);
    cache_lock_release(lock);
    if (used) {
        return;
    }
    wchar_t private_directory[payload_path_capacity];
    unpack_private_directory(private_directory);
    lock = cache_lock_take(held_parent);
    used = publish_private_directory(private_directory);
    cache_lock_release(lock);
    if (!used) {
        fatal_error("Error, cached directory is damaged and in use.");
    }
}
