// The checks that decide whether a cached directory is trusted.
//
// Ownership and the access list together say who could have put a file
// there. An entry that belongs to this user and that nobody else may change
// was written by this user (or by SYSTEM or Administrators, who could
// change anything anyway). Every directory on the way to a listed file is
// checked so: in a directory that only the owner side may change, nobody
// else can have added, replaced or renamed a file. The files that the
// loader maps (.dll, .exe) are checked themselves as well; the others are
// covered by their directories, since one open per file would cost a later
// start more than the cache saves (bench/cache.sh). The recorded size and
// last-write time of each file then catch a file that was replaced after
// it was written, even by one of the same size.
#include "cache/trust.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/layout.h"
#include "base/text.h"
#include "cache/record.h"
#include "paths/join.h"

static const DWORD largest_record_bytes = 64u << 20;

static bool is_link(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

bool cache_entry_private(const wchar_t *path, owner_check owned) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !is_link(attributes) && owned_and_private(path, owned);
}

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

// The subdirectories already found private, relative to the directory.
// Packing order keeps a directory's files together, so the last few
// entries answer nearly every look-up.
static const size_t remembered_directories = 8;

struct listed_file_check {
    const wchar_t *directory;
    owner_check owned;
    wchar_t *checked[remembered_directories];
    size_t next;
};

static bool remembered(listed_file_check *check, const wchar_t *relative, size_t length) {
    for (size_t i = 0; i < remembered_directories; i++) {
        const wchar_t *known = check->checked[i];
        if (known != NULL && wcslen(known) == length && wcsncmp(known, relative, length) == 0) {
            return true;
        }
    }
    return false;
}

static void remember(listed_file_check *check, const wchar_t *relative, size_t length) {
    wchar_t *copy = (wchar_t *)malloc((length + 1) * sizeof(wchar_t));
    if (copy == NULL) {
        return;  // checked again next time
    }
    wmemcpy(copy, relative, length);
    copy[length] = L'\0';
    free(check->checked[check->next]);
    check->checked[check->next] = copy;
    check->next = (check->next + 1) % remembered_directories;
}

// Every directory between the top and the file named `name`, each private.
static bool directories_private(listed_file_check *check, const wchar_t *name) {
    for (const wchar_t *end = wcschr(name, L'\\'); end != NULL; end = wcschr(end + 1, L'\\')) {
        size_t length = (size_t)(end - name);
        if (remembered(check, name, length)) {
            continue;
        }
        wchar_t relative[payload_path_capacity];
        wchar_t path[payload_path_capacity];
        if (length >= payload_path_capacity) {
            return false;
        }
        wmemcpy(relative, name, length);
        relative[length] = L'\0';
        if (!join_path(path, check->directory, relative, NULL) || !cache_entry_private(path, check->owned)) {
            return false;
        }
        remember(check, name, length);
    }
    return true;
}

static bool mapped_by_loader(const wchar_t *name) {
    size_t length = wcslen(name);
    return length > 4 && (_wcsicmp(name + length - 4, L".dll") == 0 || _wcsicmp(name + length - 4, L".exe") == 0);
}

// One listed file: a plain file with its recorded size and time, in
// private directories, and private itself when the loader maps it.
static bool listed_file_intact(void *context, const cache_record_file *file) {
    listed_file_check *check = (listed_file_check *)context;
    wchar_t path[payload_path_capacity];
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!join_path(path, check->directory, file->name, NULL) ||
        !GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    uint64_t size = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    uint64_t time = filetime_count(data.ftLastWriteTime);
    return size == file->size && time == file->write_time && directories_private(check, file->name) &&
           (!mapped_by_loader(file->name) || owned_and_private(path, check->owned));
}

bool cache_directory_trusted(const wchar_t *directory, const wchar_t *program, owner_check owned) {
    wchar_t record_path[payload_path_capacity];
    if (!cache_entry_private(directory, owned) ||
        !join_path(record_path, directory, wide_name(velsor_directory_name), wide_name(cache_record_leaf)) ||
        !cache_entry_private(record_path, owned)) {
        return false;
    }
    wchar_t *text = cache_read_record(directory);
    if (text == NULL) {
        return false;
    }
    listed_file_check check = {directory, owned, {}, 0};
    bool trusted = cache_record_read(text, program, listed_file_intact, &check);
    free(text);
    for (wchar_t *known : check.checked) {
        free(known);
    }
    return trusted;
}
