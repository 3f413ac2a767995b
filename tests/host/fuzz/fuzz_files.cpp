// In-memory file system for the host build of the entry walk.
#include "tests/host/fuzz/fuzz_files.h"

#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include <windows.h>

static const DWORD error_invalid_name = 123;
static const DWORD error_invalid_handle = 6;

static std::set<std::u16string> directories;
static std::set<std::u16string> files;
static DWORD last_error;
static size_t opened;
static size_t made;
static uint64_t written;
static uint64_t data_sum;
static bool file_open;  // the walk holds at most one file; its handle is &file_open

// Directory handles: the directory's path, while open. A handle is
// directory_handle_base plus its index.
static std::vector<std::u16string> directory_handles;
static std::vector<bool> directory_open;
static const intptr_t directory_handle_base = 0x10000;

static std::u16string text(const wchar_t *s) { return std::u16string((const char16_t *)s, fuzz_wcslen(s)); }

// Windows takes a forward slash as a separator too, though the walk does not.
static std::u16string parent_of(const std::u16string &path) {
    size_t at = path.find_last_of(u"\\/");
    return at == std::u16string::npos ? std::u16string() : path.substr(0, at);
}

// Characters Windows refuses in a name; ':' only right after a drive letter.
static bool valid_name(const std::u16string &path) {
    for (size_t i = 0; i < path.size(); i++) {
        char16_t c = path[i];
        if (c < 32 || c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|' ||
            (c == u':' && i != 1)) {
            return false;
        }
    }
    return true;
}

static bool exists_as_directory(const std::u16string &path) {
    return path.size() == 2 && path[1] == u':' ? true : directories.count(path) > 0;
}

void reset_files(const wchar_t *target) {
    directories.clear();
    files.clear();
    opened = made = 0;
    written = 0;
    file_open = false;
    directory_handles.clear();
    directory_open.clear();
    // The target's parents exist (the temporary folder); the target does not.
    for (std::u16string p = parent_of(text(target)); p.size() > 2; p = parent_of(p)) {
        directories.insert(p);
    }
}

size_t files_opened(void) { return opened; }
size_t directories_made(void) { return made; }
uint64_t bytes_written(void) { return written; }

size_t open_handles(void) {
    size_t open = file_open ? 1 : 0;
    for (bool d : directory_open) {
        open += d ? 1 : 0;
    }
    return open;
}

static const std::u16string *directory_of(HANDLE handle) {
    intptr_t i = (intptr_t)handle - directory_handle_base;
    if (i < 0 || (size_t)i >= directory_handles.size() || !directory_open[(size_t)i]) {
        abort();  // a directory handle that is not open
    }
    return &directory_handles[(size_t)i];
}

static HANDLE open_directory(const std::u16string &path) {
    directory_handles.push_back(path);
    directory_open.push_back(true);
    return (HANDLE)(directory_handle_base + (intptr_t)directory_handles.size() - 1);
}

DWORD GetLastError(void) { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    std::u16string p = text(path);
    made++;
    if (!valid_name(p)) {
        last_error = error_invalid_name;
        return FALSE;
    }
    if (exists_as_directory(p) || files.count(p) > 0) {
        last_error = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    if (!exists_as_directory(parent_of(p))) {
        last_error = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    directories.insert(p);
    return TRUE;
}

// The walk creates files only relative to its directories' handles.
static HANDLE create_file(const std::u16string &p, bool replace) {
    opened++;
    if (file_open) {
        abort();  // every file is closed before the next is opened
    }
    if (!valid_name(p) || !exists_as_directory(parent_of(p))) {
        last_error = !valid_name(p) ? error_invalid_name : ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (directories.count(p) > 0 || (files.count(p) > 0) != replace) {
        last_error = directories.count(p) > 0 || !replace ? ERROR_ALREADY_EXISTS : ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    files.insert(p);
    file_open = true;
    return (HANDLE)&file_open;
}

BOOL WriteFile(HANDLE file, const void *data, DWORD size, DWORD *count, LPOVERLAPPED) {
    if (file != (HANDLE)&file_open || !file_open) {
        last_error = error_invalid_handle;
        abort();  // a write through a handle that is not open
    }
    // Touch every byte so the sanitizer sees reads of uninitialised or freed data.
    for (DWORD i = 0; i < size; i++) {
        data_sum += ((const uint8_t *)data)[i];
    }
    written += size;
    *count = size;
    return TRUE;
}

HANDLE create_directory_new(const wchar_t *path, LPSECURITY_ATTRIBUTES security) {
    if (!CreateDirectoryW(path, security)) {
        return INVALID_HANDLE_VALUE;
    }
    return open_directory(text(path));
}

// A part that is empty, "." or ".." is refused as Windows refuses it in a
// relative open; a backslash cannot be in one.
static bool valid_part(const std::u16string &part) {
    return !part.empty() && part != u"." && part != u".." && part.find(u'\\') == std::u16string::npos;
}

HANDLE create_directory_at(HANDLE parent, const wchar_t *name, size_t length, LPSECURITY_ATTRIBUTES) {
    std::u16string part((const char16_t *)name, length);
    if (!valid_part(part)) {
        last_error = error_invalid_name;
        return INVALID_HANDLE_VALUE;
    }
    std::u16string p = *directory_of(parent) + u"\\" + part;
    if (!CreateDirectoryW((const wchar_t *)p.c_str(), NULL)) {
        return INVALID_HANDLE_VALUE;
    }
    return open_directory(p);
}

HANDLE create_file_at(HANDLE directory, const wchar_t *name, bool replace, LPSECURITY_ATTRIBUTES) {
    std::u16string part = text(name);
    if (!valid_part(part)) {
        opened++;
        last_error = error_invalid_name;
        return INVALID_HANDLE_VALUE;
    }
    return create_file(*directory_of(directory) + u"\\" + part, replace);
}

BOOL CloseHandle(HANDLE handle) {
    intptr_t i = (intptr_t)handle - directory_handle_base;
    if (i >= 0 && (size_t)i < directory_handles.size() && directory_open[(size_t)i]) {
        directory_open[(size_t)i] = false;
        return TRUE;
    }
    if (handle != (HANDLE)&file_open || !file_open) {
        abort();  // closing what is not open
    }
    file_open = false;
    return TRUE;
}

size_t fuzz_wcslen(const wchar_t *s) {
    size_t n = 0;
    while (s[n] != 0) {
        n++;
    }
    return n;
}

int fuzz_wcscmp(const wchar_t *a, const wchar_t *b) {
    for (;; a++, b++) {
        uint16_t x = (uint16_t)*a;
        uint16_t y = (uint16_t)*b;
        if (x != y) {
            return x < y ? -1 : 1;
        }
        if (x == 0) {
            return 0;
        }
    }
}

wchar_t *fuzz_wcsrchr(const wchar_t *s, wchar_t c) {
    const wchar_t *found = NULL;
    for (; *s != 0; s++) {
        if (*s == c) {
            found = s;
        }
    }
    return c == 0 ? (wchar_t *)s : (wchar_t *)found;
}

wchar_t *fuzz_wcsdup(const wchar_t *s) {
    size_t bytes = (fuzz_wcslen(s) + 1) * sizeof(wchar_t);
    wchar_t *copy = (wchar_t *)malloc(bytes);
    if (copy != NULL) {
        memcpy(copy, s, bytes);
    }
    return copy;
}
