// Stamping the directories of a first run's files.
//
// A directory's last-write time changes whenever an entry is added to it,
// removed or renamed. Each directory that holds files is given a time of
// our choosing once all of it is written, a whole multiple of 2 s and so
// earlier than any change can be stamped later, and the record keeps it: a
// later start whose directory still shows that time knows its entries are
// the ones written, without looking at them (cache/trust.cpp).
#include "cache/stamp.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/layout.h"
#include "base/text.h"
#include "payload/extract.h"

static const DWORD stamp_access = FILE_WRITE_ATTRIBUTES;
static const DWORD stamp_share = FILE_SHARE_READ | FILE_SHARE_WRITE;
static const DWORD stamp_flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

static wchar_t **noted;  // relative names, the top first as ""
static size_t noted_count;
static size_t noted_capacity;

static bool is_noted(const wchar_t *name, size_t length) {
    for (size_t i = noted_count; i > 0; i--) {  // the newest first: files come grouped
        if (wcslen(noted[i - 1]) == length && wcsncmp(noted[i - 1], name, length) == 0) {
            return true;
        }
    }
    return false;
}

static bool note(const wchar_t *name, size_t length) {
    if (noted_count == noted_capacity) {
        size_t more = noted_capacity == 0 ? 64 : 2 * noted_capacity;
        wchar_t **grown = (wchar_t **)realloc(noted, more * sizeof *noted);
        if (grown == NULL) {
            return false;
        }
        noted = grown;
        noted_capacity = more;
    }
    wchar_t *copy = (wchar_t *)malloc((length + 1) * sizeof(wchar_t));
    if (copy == NULL) {
        return false;
    }
    wmemcpy(copy, name, length);
    copy[length] = L'\0';
    noted[noted_count++] = copy;
    return true;
}

// Notes the directory name[0..length) and those above it, each once.
static bool note_with_parents(const wchar_t *name, size_t length) {
    if (is_noted(name, length)) {
        return true;
    }
    size_t cut = length;
    while (cut > 0 && name[cut - 1] != L'\\') {
        cut--;
    }
    if (length > 0 && !note_with_parents(name, cut == 0 ? 0 : cut - 1)) {
        return false;
    }
    return note(name, length);
}

// .velsor changes on every run (the in-use file, the record): it is left
// to the check of its own files.
static bool in_velsor_directory(const wchar_t *name, size_t length) {
    const wchar_t *velsor = wide_name(velsor_directory_name);
    size_t velsor_length = wcslen(velsor);
    return length >= velsor_length && _wcsnicmp(name, velsor, velsor_length) == 0 &&
           (length == velsor_length || name[velsor_length] == L'\\');
}

bool stamp_note_file(const wchar_t *name) {
    const wchar_t *last = wcsrchr(name, L'\\');
    size_t length = last == NULL ? 0 : (size_t)(last - name);
    return note_with_parents(name, in_velsor_directory(name, length) ? 0 : length);
}

// Sets the time through a second handle to the same directory, opened from
// the run's own (which may not change attributes), never by its path.
static bool stamp_one(const wchar_t *relative, const FILETIME *time) {
    HANDLE held = extraction_directory(relative[0] == L'\0' ? NULL : relative);
    HANDLE writable = ReOpenFile(held, stamp_access, stamp_share, stamp_flags);
    if (writable == INVALID_HANDLE_VALUE) {
        return false;
    }
    BOOL set = SetFileTime(writable, NULL, NULL, time);
    DWORD code = GetLastError();
    CloseHandle(writable);
    SetLastError(code);
    return set != FALSE;
}

bool stamp_directories(cache_record *record, uint64_t time) {
    FILETIME stamp = {(DWORD)time, (DWORD)(time >> 32)};
    for (size_t i = 0; i < noted_count; i++) {
        if (!stamp_one(noted[i], &stamp)) {
            return false;
        }
        if (!cache_record_add_directory(record, noted[i], time)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    return true;
}
