// Retiring the cached directories that are no longer used.
//
// Only directories that are certainly this program's and this user's go:
// two programs that share a parent directory (two products called app.exe
// in {CACHE_DIR}\velsor\app, or one shared --unpack-dir base) never evict
// each other, and nothing that someone else placed there is touched.
#include "cache/retire.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/layout.h"
#include "base/text.h"
#include "cache/record.h"
#include "cache/trust.h"
#include "files/owner.h"
#include "files/remove.h"
#include "paths/join.h"
#include "paths/token.h"

static const size_t version_name_digits = 16;

bool cache_set_aside(const wchar_t *path, const wchar_t *tag) {
    wchar_t token[random_token_capacity];
    wchar_t aside[payload_path_capacity];
    make_secret_token(token);
    int n = _snwprintf(aside, payload_path_capacity, L"%ls%ls%ls-%ls", path, wide_name(cache_set_aside_infix), tag, token);
    if (n < 0 || (size_t)n >= payload_path_capacity || !MoveFileExW(path, aside, 0)) {
        return false;
    }
    remove_tree(aside);
    return true;
}

// 16 hex digits (a version), optionally followed by a "." suffix (a
// private or set-aside directory).
static bool has_cache_name(const wchar_t *name) {
    for (size_t i = 0; i < version_name_digits; i++) {
        if (!iswxdigit(name[i])) {
            return false;
        }
    }
    return name[version_name_digits] == L'\0' || name[version_name_digits] == L'.';
}

// This user's own directory (not a link) whose name carries the program's
// tag (a private directory may have no record yet: its run may have been
// killed before writing it) or whose record, whole or not, names `program`.
static bool belongs_to(const wchar_t *directory, const wchar_t *name, const wchar_t *program, const wchar_t *tag) {
    DWORD attributes = GetFileAttributesW(directory);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !owned_by_current_user(directory)) {
        return false;
    }
    if (cache_name_has_tag(name, tag)) {
        return true;
    }
    wchar_t *text = cache_read_record(directory);
    bool ours = text != NULL && cache_record_names_program(text, program);
    free(text);
    return ours;
}

// Deletes the in-use file; a sharing violation (or a refusal) means a
// running instance holds it, and the directory stays.
static void retire_if_unused(const wchar_t *directory, const wchar_t *tag) {
    wchar_t lock[payload_path_capacity];
    if (!join_path(lock, directory, wide_name(velsor_directory_name), wide_name(cache_in_use_leaf))) {
        return;
    }
    if (!DeleteFileW(lock)) {
        DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED) {
            return;
        }
    }
    cache_set_aside(directory, tag);
}

static void consider_sibling(const wchar_t *parent, const WIN32_FIND_DATAW *found, const wchar_t *own_name,
                             const wchar_t *program, const wchar_t *tag) {
    const DWORD attributes = found->dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !has_cache_name(found->cFileName) || _wcsicmp(found->cFileName, own_name) == 0) {
        return;
    }
    wchar_t sibling[payload_path_capacity];
    if (join_path(sibling, parent, found->cFileName, NULL) && belongs_to(sibling, found->cFileName, program, tag)) {
        retire_if_unused(sibling, tag);
    }
}

void cache_retire_siblings(const wchar_t *parent, const wchar_t *own_name, const wchar_t *program) {
    wchar_t pattern[payload_path_capacity];
    if (!join_path(pattern, parent, L"*", NULL)) {
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    wchar_t tag[cache_tag_capacity];
    cache_program_tag(program, tag);
    do {
        consider_sibling(parent, &found, own_name, program, tag);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
