// Executable path resolution.
#include "paths/own_path.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/layout.h"
#include "base/text.h"

typedef DWORD(WINAPI *final_path_function)(HANDLE, LPWSTR, DWORD, DWORD);

static const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
static const DWORD final_path_normalized_dos = 0;  // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS
static const wchar_t drive_prefix[] = L"\\\\?\\";       // \\?\C:\...
static const wchar_t unc_prefix[] = L"\\\\?\\UNC\\";    // \\?\UNC\server\share
static const size_t drive_prefix_length = 4;
static const size_t unc_prefix_cut = 6;                 // leaves "C\server..." to patch

static wchar_t own_path_resolved[own_path_capacity];
static wchar_t own_path_plain[own_path_capacity];

void strip_final_path_prefix(wchar_t *path, size_t capacity) {
    if (wcsncmp(path, drive_prefix, drive_prefix_length) == 0 && path[drive_prefix_length] != L'\0' &&
        path[drive_prefix_length + 1] == L':') {
        copy_bounded(path, path + drive_prefix_length, capacity);
    }
    if (wcsncmp(path, unc_prefix, wcslen(unc_prefix)) == 0) {
        copy_bounded(path, path + unc_prefix_cut, capacity);
        path[0] = L'\\';
    }
}

static DWORD query_final_path(HANDLE file, wchar_t *path, size_t capacity) {
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    final_path_function query =
        kernel ? (final_path_function)(void *)GetProcAddress(kernel, "GetFinalPathNameByHandleW") : NULL;
    if (query == NULL) {
        return 0;
    }
    return query(file, path, (DWORD)capacity, final_path_normalized_dos);
}

void resolve_final_path(wchar_t *path, size_t capacity, bool resolve) {
    if (!resolve) {
        return;
    }
    HANDLE file = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ 0,
        /* dwShareMode           */ share_all,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ FILE_ATTRIBUTE_NORMAL,
        /* hTemplateFile         */ NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    // A failed query may leave a partial result behind; keep the path to
    // put it back in that case.
    wchar_t *before = _wcsdup(path);
    DWORD length = query_final_path(file, path, capacity);
    CloseHandle(file);
    if (length >= capacity) {
        capacity_stop();
    }
    if (length == 0 && before != NULL) {
        copy_bounded(path, before, capacity);
    }
    free(before);
    strip_final_path_prefix(path, capacity);
}

void shorten_directory_part(wchar_t *path, size_t capacity) {
    wchar_t *name = NULL;
    wchar_t *last = wcsrchr(path, L'\\');
    if (last != NULL) {
        *last = L'\0';
        name = _wcsdup(last + 1);
        if (name == NULL) {
            abnormal_exit();  // losing the file name would give a wrong path
        }
    }
    DWORD needed = GetShortPathNameW(path, NULL, 0);
    if (needed != 0) {
        wchar_t *shorter = (wchar_t *)malloc((needed + 1) * sizeof(wchar_t));
        if (shorter == NULL) {
            abnormal_exit();
        }
        DWORD written = GetShortPathNameW(path, shorter, needed);
        if (written > needed) {
            abnormal_exit();
        }
        if (written != 0) {
            copy_bounded(path, shorter, capacity);
        }
        free(shorter);
    }
    if (name != NULL) {
        size_t length = wcslen(path);
        if (length + 1 >= capacity) {
            capacity_stop();
        }
        path[length] = L'\\';
        copy_bounded(path + length + 1, name, capacity - length - 1);
        free(name);
    }
}

const wchar_t *get_own_executable_path(bool resolved) {
    wchar_t *path = resolved ? own_path_resolved : own_path_plain;
    if (path[0] != L'\0') {
        return path;
    }
    GetModuleFileNameW(NULL, path, own_path_capacity);
    resolve_final_path(path, own_path_capacity, resolved);
    if (resolved) {
        shorten_directory_part(path, own_path_capacity);
    }
    return path;
}

void normalize_target_directory(wchar_t *directory) {
    wchar_t full[payload_path_capacity];
    DWORD length = GetFullPathNameW(directory, payload_path_capacity, full, NULL);
    if (length == 0 || length >= payload_path_capacity) {
        abnormal_exit();
    }
    copy_bounded(directory, full, payload_path_capacity);
}
