// Removing directory trees without following links.
//
// Each entry is judged twice: by its directory listing, and by a handle
// opened on it with FILE_FLAG_OPEN_REPARSE_POINT, which on Windows refers to
// a link itself rather than to what it points to. The entry is deleted
// through that handle (its disposition), never by path, and only when both
// views agree on what it is. Where a system opens the target of a link in
// spite of the flag (Wine does for the host's symbolic links), the handle
// shows no reparse point while the listing does, and the link is left alone.
#include "files/remove.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static const size_t long_path_capacity = 32768;  // the longest path the system accepts
static const int deepest_level = 256;            // deeper entries are skipped, not followed
static const DWORD handle_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
static const DWORD handle_flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
static const DWORD handle_access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// The extended disposition of Windows 10 (1709 and later). Declared here,
// since the SDK headers hide it behind a version test that a plain
// _WIN32_WINNT of Windows 10 does not pass; older systems refuse the class.
static const FILE_INFO_BY_HANDLE_CLASS file_disposition_info_ex = (FILE_INFO_BY_HANDLE_CLASS)21;
static const DWORD disposition_delete = 0x1;
static const DWORD disposition_posix_semantics = 0x2;
struct disposition_ex_info {
    DWORD flags;
};

// The path being walked: one buffer per call, extended and cut back in
// place as the walk goes down and up.
struct walk_path {
    wchar_t *text;
    size_t length;
};

enum entry_kind { entry_file, entry_directory, entry_link };

/*-**** Paths ****/

// Starts the walk at `path` in its \\?\ form, so that long paths below it
// work; false when it does not fit or no memory is left.
static bool start_walk(walk_path *walk, const wchar_t *path) {
    walk->text = (wchar_t *)malloc(long_path_capacity * sizeof(wchar_t));
    if (walk->text == NULL) {
        return false;
    }
    const wchar_t *prefix = L"\\\\?\\";
    const wchar_t *rest = path;
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (wcsncmp(path, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";
        rest = path + 2;
    }
    int n = _snwprintf(walk->text, long_path_capacity, L"%ls%ls", prefix, rest);
    if (n < 0 || (size_t)n >= long_path_capacity) {
        free(walk->text);
        return false;
    }
    walk->length = (size_t)n;
    return true;
}

// Appends "\name"; false (and nothing changed) when it does not fit.
static bool enter(walk_path *walk, const wchar_t *name) {
    size_t name_length = wcslen(name);
    if (walk->length + 1 + name_length >= long_path_capacity) {
        return false;
    }
    walk->text[walk->length] = L'\\';
    wmemcpy(walk->text + walk->length + 1, name, name_length + 1);
    walk->length += 1 + name_length;
    return true;
}

static void leave(walk_path *walk, size_t length) {
    walk->length = length;
    walk->text[length] = L'\0';
}

/*-**** One entry ****/

static entry_kind kind_of(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return entry_link;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? entry_directory : entry_file;
}

// Marks the entry that `file` refers to for deletion; it goes when the
// last handle to it closes. POSIX semantics, where the system has them,
// take the name away at once, even while another process holds it open.
static bool delete_by_handle(HANDLE file, entry_kind kind) {
    if (kind == entry_file) {
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // a read-only file cannot be deleted
        SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
    }
    disposition_ex_info posix = {disposition_delete | disposition_posix_semantics};
    if (SetFileInformationByHandle(file, file_disposition_info_ex, &posix, sizeof posix)) {
        return true;
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Deletes the entry at the walk's path when it still is what the listing
// said (`listed`); a directory must be empty by now. A link is deleted only
// through a handle that refers to the link itself.
static bool delete_entry(const walk_path *walk, entry_kind listed) {
    HANDLE file = CreateFileW(
        /* lpFileName            */ walk->text,
        /* dwDesiredAccess       */ handle_access,
        /* dwShareMode           */ handle_share,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ handle_flags,
        /* hTemplateFile         */ NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    bool deleted = false;
    if (GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) {
        entry_kind opened = kind_of(tag.FileAttributes);
        // A link that the handle does not show as one was followed: leave it.
        bool followed = listed == entry_link && opened != entry_link;
        deleted = !followed && delete_by_handle(file, opened);
    }
    CloseHandle(file);
    return deleted;
}

/*-**** The walk ****/

static bool remove_below(walk_path *walk, int level, bool links_only);

// Handles one listed entry below the walk's path.
static bool handle_entry(walk_path *walk, const WIN32_FIND_DATAW *found, int level, bool links_only) {
    size_t length = walk->length;
    if (!enter(walk, found->cFileName)) {
        return false;
    }
    entry_kind kind = kind_of(found->dwFileAttributes);
    bool gone = true;
    if (kind == entry_directory) {
        gone = remove_below(walk, level + 1, links_only);
    }
    if (kind == entry_link || (!links_only && gone)) {
        gone = delete_entry(walk, kind);
    }
    leave(walk, length);
    return gone;
}

static bool is_dot_entry(const wchar_t *name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

// Removes what lies below the walk's path (only the links, with
// `links_only`); true when all of it went.
static bool remove_below(walk_path *walk, int level, bool links_only) {
    size_t length = walk->length;
    if (level > deepest_level || !enter(walk, L"*")) {
        return false;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(walk->text, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    leave(walk, length);
    if (search == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    bool all_gone = true;
    do {
        if (!is_dot_entry(found.cFileName) && !handle_entry(walk, &found, level, links_only)) {
            all_gone = false;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return all_gone;
}

// The kind of the entry at the walk's path, from its parent's listing.
static bool listed_kind(const walk_path *walk, entry_kind *kind) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(walk->text, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    *kind = kind_of(found.dwFileAttributes);
    return true;
}

static bool walk_tree(const wchar_t *path, bool links_only) {
    walk_path walk;
    if (!start_walk(&walk, path)) {
        return false;
    }
    entry_kind kind;
    bool gone;
    if (!listed_kind(&walk, &kind)) {
        gone = GetFileAttributesW(walk.text) == INVALID_FILE_ATTRIBUTES;
    } else if (kind == entry_directory) {
        gone = remove_below(&walk, 0, links_only);
        if (!links_only && gone) {
            gone = delete_entry(&walk, kind);
        }
    } else {
        gone = links_only ? kind != entry_link || delete_entry(&walk, kind) : delete_entry(&walk, kind);
    }
    free(walk.text);
    return gone;
}

bool remove_tree(const wchar_t *path) { return walk_tree(path, false); }

bool remove_links_below(const wchar_t *path) { return walk_tree(path, true); }
