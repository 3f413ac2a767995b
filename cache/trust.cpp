// The checks that decide whether a cached directory is trusted.
//
// Ownership and the access list together say who could have put a file
// there. An entry that belongs to this user and that nobody else may change
// was written by this user (or by SYSTEM or Administrators, who could
// change anything anyway). Every directory on the way to a listed file is
// checked so: in a directory that only the owner side may change, nobody
// else can have added, replaced or renamed a file. The files that the
// loader maps (.dll, .exe, .pyd, .node, .ocx) are checked themselves as
// well, with their recorded size and last-write time, which catch a file
// replaced after it was written, even by one of the same size. The others
// are covered by their directories: a directory whose last-write time is
// still the one recorded has had no entry added, removed or renamed, so
// its files are the ones written; in one whose time moved on, each file is
// looked up in the directory's listing, read once through its held handle,
// and compared with its recorded size and time. What the owner's own
// programs write into a data file in place is left to the access list:
// nobody else can.
//
// Each step works on handles opened relative to the directory above
// (files/relative.h), never on a path looked up again: what was checked is
// what is held, and, kept, what the program is loaded from.
#include "cache/trust.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/layout.h"
#include "base/text.h"
#include "cache/boot.h"
#include "cache/record.h"
#include "files/relative.h"
#include "paths/join.h"

static const DWORD largest_record_bytes = 64u << 20;

/*-**** What a check holds ****/

struct held_directory {
    wchar_t *relative;  // below the top; empty for the top itself
    size_t length;
    HANDLE handle;
    BYTE *listing;  // its entries (FILE_FULL_DIR_INFO, chained), read once when first needed
    size_t listing_size;
    bool listed;
    bool unchanged;  // its last-write time is the recorded one: its entries are as written
};

struct trust_check {
    const wchar_t *directory;
    owner_check owned;
    held_directory *directories;
    size_t directory_count;
    size_t last_found;  // index of the directory found last: files come grouped
    size_t directory_capacity;
    HANDLE *files;  // the files the loader maps
    size_t file_count;
    size_t file_capacity;
    wchar_t first_file[payload_path_capacity];  // the record's first, the application DLL
    trust_use use;
    bool stale;      // a directory's time moved on, or the files are being flushed
    bool flushing;   // the record is marked unflushed and each file is flushed
    bool not_fresh;  // a flush failed: the record keeps its mark
    cache_record fresh;  // the record again, with the directories' times of now
};

static trust_check kept;  // the last holding check
static wchar_t kept_application_dll[payload_path_capacity];

static bool grow(void **array, size_t *capacity, size_t count, size_t size) {
    if (count < *capacity) {
        return true;
    }
    size_t more = *capacity == 0 ? 16 : 2 * *capacity;
    void *grown = realloc(*array, more * size);
    if (grown == NULL) {
        return false;
    }
    *array = grown;
    *capacity = more;
    return true;
}

static void release(trust_check *check) {
    for (size_t i = 0; i < check->directory_count; i++) {
        CloseHandle(check->directories[i].handle);
        free(check->directories[i].relative);
        free(check->directories[i].listing);
    }
    for (size_t i = 0; i < check->file_count; i++) {
        CloseHandle(check->files[i]);
    }
    free(check->directories);
    free(check->files);
    cache_record_free(&check->fresh);
    *check = trust_check{};
}

static bool keep_file(trust_check *check, HANDLE file) {
    if (!grow((void **)&check->files, &check->file_capacity, check->file_count, sizeof(HANDLE))) {
        CloseHandle(file);
        return false;
    }
    check->files[check->file_count++] = file;
    return true;
}

/*-**** One entry ****/

// Private by its handle; `relative` (below the checked directory) names it
// for an injected owner check.
static bool private_entry(const trust_check *check, HANDLE entry, const wchar_t *relative) {
    wchar_t path[payload_path_capacity];
    const wchar_t *name = path;
    if (relative[0] == L'\0') {
        name = check->directory;
    } else if (!join_path(path, check->directory, relative, NULL)) {
        return false;
    }
    return held_owned_and_private(entry, name, check->owned);
}

static bool held_is(const held_directory *d, const wchar_t *relative, size_t length) {
    return d->length == length && wmemcmp(d->relative, relative, length) == 0;
}

static held_directory *find_held(trust_check *check, const wchar_t *relative, size_t length) {
    if (check->last_found < check->directory_count &&
        held_is(&check->directories[check->last_found], relative, length)) {
        return &check->directories[check->last_found];
    }
    for (size_t i = check->directory_count; i > 0; i--) {
        if (held_is(&check->directories[i - 1], relative, length)) {
            check->last_found = i - 1;
            return &check->directories[i - 1];
        }
    }
    return NULL;
}

static HANDLE find_directory(trust_check *check, const wchar_t *relative, size_t length) {
    const held_directory *d = find_held(check, relative, length);
    return d == NULL ? INVALID_HANDLE_VALUE : d->handle;
}

static bool add_directory(trust_check *check, const wchar_t *relative, size_t length, HANDLE handle) {
    wchar_t *copy = (wchar_t *)malloc((length + 1) * sizeof(wchar_t));
    if (copy == NULL || !grow((void **)&check->directories, &check->directory_capacity, check->directory_count,
                              sizeof(held_directory))) {
        free(copy);
        CloseHandle(handle);
        return false;
    }
    wmemcpy(copy, relative, length);
    copy[length] = L'\0';
    check->directories[check->directory_count++] = {copy, length, handle, NULL, 0, false, false};
    return true;
}

// The held, private directory `relative` (its first `length` units; empty:
// the top), opened relative to its parent's handle the first time.
static HANDLE checked_directory(trust_check *check, const wchar_t *relative, size_t length) {
    HANDLE found = find_directory(check, relative, length);
    if (found != INVALID_HANDLE_VALUE || length == 0) {
        return found;
    }
    size_t cut = length;
    while (cut > 0 && relative[cut - 1] != L'\\') {
        cut--;
    }
    HANDLE parent = checked_directory(check, relative, cut == 0 ? 0 : cut - 1);
    if (parent == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = hold_directory_at(parent, relative + cut, length - cut);
    if (handle == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    wchar_t name[payload_path_capacity];
    if (length >= payload_path_capacity) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    wmemcpy(name, relative, length);
    name[length] = L'\0';
    if (!private_entry(check, handle, name)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return add_directory(check, relative, length, handle) ? handle : INVALID_HANDLE_VALUE;
}

/*-**** The record ****/

static wchar_t *read_whole_file(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > largest_record_bytes || size.QuadPart % sizeof(wchar_t) != 0) {
        return NULL;
    }
    DWORD bytes = (DWORD)size.QuadPart;
    wchar_t *text = (wchar_t *)malloc(bytes + sizeof(wchar_t));
    DWORD read = 0;
    if (text != NULL && (!ReadFile(file, text, bytes, &read, NULL) || read != bytes)) {
        free(text);
        return NULL;
    }
    if (text != NULL) {
        text[bytes / sizeof(wchar_t)] = L'\0';
    }
    return text;
}

wchar_t *cache_read_record(const wchar_t *directory) {
    wchar_t path[payload_path_capacity];
    if (!join_path(path, directory, wide_name(velsor_directory_name), wide_name(cache_record_leaf))) {
        return NULL;
    }
    HANDLE file = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ GENERIC_READ,
        /* dwShareMode           */ FILE_SHARE_READ,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ FILE_FLAG_OPEN_REPARSE_POINT,
        /* hTemplateFile         */ NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return NULL;
    }
    wchar_t *text = read_whole_file(file);
    CloseHandle(file);
    return text;
}

// The record, read through the held .velsor directory, itself private.
static wchar_t *read_checked_record(trust_check *check) {
    const wchar_t *velsor = wide_name(velsor_directory_name);
    HANDLE directory = checked_directory(check, velsor, wcslen(velsor));
    if (directory == INVALID_HANDLE_VALUE) {
        return NULL;
    }
    const wchar_t *leaf = wide_name(cache_record_leaf);
    HANDLE file = hold_file_at(directory, leaf, wcslen(leaf));
    wchar_t relative[payload_path_capacity];
    wchar_t *text = NULL;
    if (file != INVALID_HANDLE_VALUE && join_path(relative, velsor, leaf, NULL) &&
        private_entry(check, file, relative)) {
        text = read_whole_file(file);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return text;
}

/*-**** Listed files ****/

// Names the loader maps: programs, DLLs and the DLLs that interpreters load
// under their own extensions (Python's .pyd, Node's .node, controls' .ocx).
static const char *const code_extensions[] = {".dll", ".exe", ".pyd", ".node", ".ocx"};

// True when `name` ends in `extension` in any letter case, compared by
// hand: a record has thousands of names, and the C runtime's comparison
// heeds the locale.
static bool ends_in(const wchar_t *name, size_t length, const char *extension) {
    size_t count = strlen(extension);
    if (length <= count) {
        return false;
    }
    for (size_t i = 0; i < count; i++) {
        wchar_t c = name[length - count + i];
        if ((c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c) != (wchar_t)extension[i]) {
            return false;
        }
    }
    return true;
}

static bool mapped_by_loader(const wchar_t *name) {
    size_t length = wcslen(name);
    for (const char *extension : code_extensions) {
        if (ends_in(name, length, extension)) {
            return true;
        }
    }
    return false;
}

static bool plain_file_as_recorded(const entry_facts *facts, const cache_record_item *file) {
    return (facts->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           facts->size == file->size && facts->write_time == file->write_time;
}

// The size, time and attributes of a held entry. Not through
// GetFileInformationByHandle, which also asks for the volume's serial
// number: that costs Wine a call to another process for every entry.
static bool held_facts(HANDLE handle, entry_facts *facts) {
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        return false;
    }
    *facts = {(uint64_t)standard.EndOfFile.QuadPart, (uint64_t)basic.LastWriteTime.QuadPart, basic.FileAttributes};
    return true;
}

// A file the loader maps: held, private, and as recorded.
static bool code_file_intact(trust_check *check, HANDLE directory, const wchar_t *leaf,
                             const cache_record_item *file) {
    HANDLE handle = hold_file_at(directory, leaf, wcslen(leaf));
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    entry_facts facts;
    bool intact = held_facts(handle, &facts) && plain_file_as_recorded(&facts, file) &&
                  private_entry(check, handle, file->name);
    if (!intact) {
        CloseHandle(handle);
        return false;
    }
    return keep_file(check, handle);
}

/*-**** Data files, from their directory's listing ****/
// A data file is looked up in its directory's listing, read once through
// the held handle: a few calls per directory instead of an open per file.

static const DWORD listing_batch = 64 * 1024;

static bool read_listing(held_directory *directory) {
    directory->listed = true;
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;; kind = FileFullDirectoryInfo) {
        BYTE *grown = (BYTE *)realloc(directory->listing, directory->listing_size + listing_batch);
        if (grown == NULL) {
            return false;
        }
        directory->listing = grown;
        if (!GetFileInformationByHandleEx(directory->handle, kind, grown + directory->listing_size, listing_batch)) {
            return GetLastError() == ERROR_NO_MORE_FILES;
        }
        directory->listing_size += listing_batch;
    }
}

// The facts of `leaf` from the directory's listing.
static bool listed_facts(held_directory *directory, const wchar_t *leaf, entry_facts *facts) {
    if (!directory->listed && !read_listing(directory)) {
        return false;
    }
    size_t length = wcslen(leaf);
    for (size_t at = 0; at < directory->listing_size; at += listing_batch) {
        FILE_FULL_DIR_INFO *entry = (FILE_FULL_DIR_INFO *)(directory->listing + at);
        for (;; entry = (FILE_FULL_DIR_INFO *)((BYTE *)entry + entry->NextEntryOffset)) {
            if (entry->FileNameLength == length * sizeof(wchar_t) &&
                _wcsnicmp(entry->FileName, leaf, length) == 0) {
                *facts = {(uint64_t)entry->EndOfFile.QuadPart, (uint64_t)entry->LastWriteTime.QuadPart,
                          entry->FileAttributes};
                return true;
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
        }
    }
    return false;
}

/*-**** Directories, by their last-write time ****/
// A directory whose time is the recorded one has had no entry added,
// removed or renamed since it was written, so its data files need no look.
// One whose time moved on (the application writes into its own tree) has
// its data files looked at in its listing instead; when they are all as
// recorded, the directory stays, and the record learns its new time.

static bool listed_directory_seen(trust_check *check, const cache_record_item *directory) {
    size_t length = wcslen(directory->name);
    HANDLE handle = checked_directory(check, directory->name, length);
    held_directory *held = find_held(check, directory->name, length);
    FILE_BASIC_INFO basic;  // the time alone: a directory's size says nothing
    if (handle == INVALID_HANDLE_VALUE || held == NULL ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    uint64_t time = (uint64_t)basic.LastWriteTime.QuadPart;
    held->unchanged = time == directory->write_time;
    check->stale = check->stale || !held->unchanged;
    return cache_record_add_directory(&check->fresh, directory->name, time);
}

/*-**** Files not yet on disk ****/
// A record marked unflushed is trusted in the boot that wrote it, whose
// cache still holds the files. A holding check that may flush them does so
// file by file; a file it cannot open (another run has it mapped, say)
// leaves the mark for a later start.

static bool unflushed_seen(trust_check *check, const cache_record_item *mark) {
    if (!same_boot(mark->write_time)) {
        return false;
    }
    check->flushing = check->use == trust_hold_and_flush;
    check->stale = check->stale || check->flushing;
    return check->flushing || cache_record_add_unflushed(&check->fresh, mark->write_time);
}

static void flush_listed(trust_check *check, HANDLE directory, const wchar_t *leaf) {
    if (check->flushing && !flush_file_at(directory, leaf, wcslen(leaf))) {
        check->not_fresh = true;
    }
}

/*-**** Listed files ****/

// One listed file: a plain file with its recorded size and time, in
// private directories, and private itself when the loader maps it.
static bool listed_file_intact(void *context, const cache_record_item *file) {
    trust_check *check = (trust_check *)context;
    if (file->kind == cache_item_unflushed) {
        return unflushed_seen(check, file);
    }
    if (file->kind == cache_item_directory) {
        return listed_directory_seen(check, file);
    }
    if (check->stale && !cache_record_add_file(&check->fresh, file->name, file->size, file->write_time)) {
        return false;
    }
    if (check->first_file[0] == L'\0' && !join_path(check->first_file, check->directory, file->name, NULL)) {
        return false;
    }
    const wchar_t *last = wcsrchr(file->name, L'\\');
    size_t directory_length = last == NULL ? 0 : (size_t)(last - file->name);
    const wchar_t *leaf = last == NULL ? file->name : last + 1;
    HANDLE directory = checked_directory(check, file->name, directory_length);
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    flush_listed(check, directory, leaf);
    if (mapped_by_loader(leaf)) {
        return code_file_intact(check, directory, leaf, file);
    }
    entry_facts facts;
    held_directory *held = find_held(check, file->name, directory_length);
    return held != NULL &&
           (held->unchanged || (listed_facts(held, leaf, &facts) && plain_file_as_recorded(&facts, file)));
}

/*-**** The whole check ****/

static bool check_directory(trust_check *check, const wchar_t *program) {
    HANDLE top = hold_directory(check->directory);
    if (top == INVALID_HANDLE_VALUE || !add_directory(check, L"", 0, top) || !private_entry(check, top, L"")) {
        return false;
    }
    wchar_t *text = read_checked_record(check);
    bool trusted = text != NULL && cache_record_start(&check->fresh, program) &&
                   cache_record_read(text, program, listed_file_intact, check) &&
                   (!check->stale || cache_record_finish(&check->fresh));
    free(text);
    return trusted;
}

bool cache_directory_trusted(const wchar_t *directory, const wchar_t *program, owner_check owned, trust_use use) {
    trust_check check = {};
    check.directory = directory;
    check.owned = owned;
    check.use = use;
    bool trusted = check_directory(&check, program);
    if (trusted && use != trust_only_look) {
        release(&kept);
        kept = check;
        copy_bounded(kept_application_dll, check.first_file, payload_path_capacity);
    } else {
        release(&check);
    }
    return trusted;
}

const wchar_t *cache_held_application_dll(void) { return kept_application_dll; }

const cache_record *cache_held_fresh_record(void) { return kept.stale && !kept.not_fresh ? &kept.fresh : NULL; }

HANDLE cache_held_velsor_directory(void) {
    const wchar_t *velsor = wide_name(velsor_directory_name);
    return find_directory(&kept, velsor, wcslen(velsor));
}
