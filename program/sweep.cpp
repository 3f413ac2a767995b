// Directories that killed runs left behind, and the marker of a live run.
//
// A run of a packed program lives in {TEMP}\onefile_<launcher pid>_... for
// as long as one of two processes is there to finish it:
//   - its launcher, which created the directory and removes it at the end.
//     Its process ID is in the directory's name; a process with that ID
//     started after the directory was created is not it;
//   - the runner, which holds .velsor\live open, without sharing it for
//     writing or deletion, from its start until its process ends. This
//     covers the moments after the launcher was killed in which the runner
//     is still ending the program.
// The launcher is there from before the directory exists until after the
// runner has gone, so between them there is no gap in which a live run
// would look dead. A directory that neither guards, that holds the runner
// (so it is a run of a packed program, not of an application DLL) and
// that belongs to the current user is what a killed run left: it is
// removed without following links and without ever ending this process.
#include "program/sweep.h"

#include <stdio.h>
#include <wchar.h>

#include "base/layout.h"
#include "base/text.h"
#include "files/owner.h"
#include "files/remove.h"
#include "paths/join.h"
#include "paths/template.h"
#include "paths/token.h"
#include "program/launcher_process.h"

static const DWORD marker_share_held = FILE_SHARE_READ;  // not for writing, not for deletion
static const DWORD marker_share_exclusive = 0;
static const DWORD listing_flags = FIND_FIRST_EX_LARGE_FETCH;
// A file system may store the directory's creation time coarser than the
// process clock (FAT and exFAT to 10 ms) or the clock may be set back a
// little: a launcher is taken for a later process only this long after.
static const ULONGLONG creation_time_tolerance = 10000000;  // 1 s in 100 ns units

// Never closed: the system closes it when this process ends.
static HANDLE live_marker = INVALID_HANDLE_VALUE;
static const size_t time_us_digits = 6;

/*-**** Paths ****/

// Skips exactly `count` characters that `accepted` takes; null when the
// text has fewer.
static const wchar_t *skip_exactly(const wchar_t *p, size_t count, bool (*accepted)(wchar_t)) {
    for (size_t i = 0; i < count; i++, p++) {
        if (!accepted(*p)) {
            return NULL;
        }
    }
    return p;
}

static bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The launcher's process ID, from a name of the default template's exact
// shape, onefile_<pid>_<6 digits of TIME_US>_<11-character token>. Any
// other name, even one that starts with onefile_ and a number (another
// template's {TIME_US}, say), names no launcher and is never judged.
static bool launcher_id_in_name(const wchar_t *name, DWORD *process_id) {
    const wchar_t *p = name + wcslen(wide_name(run_prefix));
    unsigned long long value = 0;
    if (!is_digit(*p)) {
        return false;
    }
    for (; is_digit(*p) && value <= 0xFFFFFFFFull; p++) {
        value = value * 10 + (unsigned long long)(*p - L'0');
    }
    if (value > 0xFFFFFFFFull || *p++ != L'_' || (p = skip_exactly(p, time_us_digits, is_digit)) == NULL ||
        *p++ != L'_' || (p = skip_exactly(p, random_token_length, is_token_character)) == NULL || *p != L'\0') {
        return false;
    }
    *process_id = (DWORD)value;
    return true;
}

/*-**** The live marker ****/

void hold_live_marker(const wchar_t *directory) {
    wchar_t path[payload_path_capacity];
    if (!join_path(path, directory, wide_name(velsor_directory_name), wide_name(live_marker_leaf))) {
        return;
    }
    // Without the marker the launcher still guards the directory while it
    // runs; only the moments after a kill lose their guard.
    live_marker = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ GENERIC_READ,
        /* dwShareMode           */ marker_share_held,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_ALWAYS,
        /* dwFlagsAndAttributes  */ FILE_ATTRIBUTE_NORMAL,
        /* hTemplateFile         */ NULL);
}

// True unless the marker can be opened exclusively or is absent. Anything
// else (a sharing violation, or an error that tells nothing) counts as held.
static bool live_marker_held(const wchar_t *directory) {
    wchar_t path[payload_path_capacity];
    if (!join_path(path, directory, wide_name(velsor_directory_name), wide_name(live_marker_leaf))) {
        return true;
    }
    HANDLE marker = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ GENERIC_READ,
        /* dwShareMode           */ marker_share_exclusive,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ FILE_FLAG_OPEN_REPARSE_POINT,
        /* hTemplateFile         */ NULL);
    if (marker == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
    }
    CloseHandle(marker);
    return false;
}

/*-**** The sweep ****/

static bool holds_runner(const wchar_t *directory) {
    wchar_t path[payload_path_capacity];
    if (!join_path(path, directory, wide_name(velsor_directory_name), wide_name(runner_leaf))) {
        return false;
    }
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

static bool launcher_has_ended(const wchar_t *name, FILETIME created) {
    DWORD process_id = 0;
    if (!launcher_id_in_name(name, &process_id)) {
        return false;  // not named by a launcher: not ours to judge
    }
    ULONGLONG latest = filetime_count(created) + creation_time_tolerance;
    bool ended = false;
    HANDLE launcher = open_launcher(process_id, latest, &ended);
    if (launcher != NULL) {
        CloseHandle(launcher);
    }
    return ended;
}

// The cheap tests first: most entries of a busy %TEMP% fail the name.
static bool left_by_killed_run(const wchar_t *directory, const WIN32_FIND_DATAW *found) {
    return holds_runner(directory) && launcher_has_ended(found->cFileName, found->ftCreationTime) &&
           !live_marker_held(directory) && owned_by_current_user(directory);
}

static void judge_entry(const wchar_t *root, const WIN32_FIND_DATAW *found, const wchar_t *own_name) {
    bool plain_directory = (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                           (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (!plain_directory || _wcsicmp(found->cFileName, own_name) == 0) {
        return;
    }
    wchar_t directory[payload_path_capacity];
    if (join_path(directory, root, found->cFileName, NULL) && left_by_killed_run(directory, found)) {
        remove_tree(directory);
    }
}

void sweep_killed_runs(const wchar_t *own_name) {
    wchar_t root[payload_path_capacity];
    wchar_t pattern[payload_path_capacity];
    if (!expand_path_template(root, L"{TEMP}", payload_path_capacity)) {
        return;
    }
    int n = _snwprintf(pattern, payload_path_capacity, L"%ls\\%ls*", root, wide_name(run_prefix));
    if (n < 0 || (size_t)n >= payload_path_capacity) {
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, listing_flags);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        judge_entry(root, &found, own_name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
