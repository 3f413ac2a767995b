// Path template expansion.
#include "paths/template.h"

#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/text.h"
#include "paths/env.h"
#include "paths/token.h"

static const size_t placeholder_name_capacity = 1024;
static const size_t shell_folder_capacity = 264;  // SHGetFolderPathW wants at least MAX_PATH
static const size_t number_text_capacity = 128;
static const long long filetime_units_per_microsecond = 10;
static const long long microseconds_per_second = 1000000;

static const char parent_variable[] = "VELSOR_ONEFILE_PARENT";
static const char random_variable[] = "VELSOR_ONEFILE_RANDOM";
static const char time_us_variable[] = "VELSOR_ONEFILE_TIME_US";
static const char start_variable[] = "VELSOR_ONEFILE_START";

/*-**** Appending values ****/

// Appends a placeholder value; running out of room here is a capacity stop.
static void append_value(wchar_t *output, const wchar_t *value, size_t remaining) {
    size_t length = wcslen(value);
    if (length >= remaining) {
        capacity_stop();
    }
    wmemcpy(output, value, length + 1);
}

static long long current_filetime(void) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (long long)filetime_count(now);
}

// Appends the value cached in `variable`; when there is none, draws a fresh
// one, stores it there first, then appends it.
static void append_cached(wchar_t *output, size_t remaining, const char *variable, void (*draw)(wchar_t *fresh)) {
    wchar_t *cached = env_get(variable);
    if (cached != NULL) {
        append_value(output, cached, remaining);
        return;
    }
    wchar_t fresh[number_text_capacity];
    draw(fresh);
    env_set(variable, fresh);
    append_value(output, fresh, remaining);
}

static void draw_token(wchar_t *fresh) { make_random_token(fresh); }

static void draw_time_us(wchar_t *fresh) {
    char narrow[number_text_capacity];
    long microseconds = (long)((current_filetime() / filetime_units_per_microsecond) % microseconds_per_second);
    snprintf(narrow, sizeof narrow, "%06ld", microseconds);
    widen_ascii(narrow, fresh, number_text_capacity);
}

static void draw_time(wchar_t *fresh) {
    char narrow[number_text_capacity];
    snprintf(narrow, sizeof narrow, "%lld", current_filetime());
    widen_ascii(narrow, fresh, number_text_capacity);
}

/*-**** Placeholder producers ****/
// Each writes its value at `output` (room: `remaining` code units, terminator
// included) and returns false only for the failures the expansion reports.

typedef DWORD(WINAPI *get_temp_path_function)(DWORD length, wchar_t *buffer);

// GetTempPath2W where the system has it (Windows 11, and Windows 10 since
// its 2022 updates): for SYSTEM it gives C:\Windows\SystemTemp, which only
// SYSTEM and administrators can open, instead of the shared
// C:\Windows\Temp. For everyone else both give the same directory.
static get_temp_path_function temp_path_query(void) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    void *found = kernel32 == NULL ? NULL : (void *)GetProcAddress(kernel32, "GetTempPath2W");
    return found != NULL ? (get_temp_path_function)found : GetTempPathW;
}

static bool produce_temp(wchar_t *output, size_t remaining) {
    // Whatever the call leaves at the output position is the value.
    temp_path_query()((DWORD)remaining, output);
    return true;
}

static bool produce_program(wchar_t *output, size_t remaining) {
    if (__argc < 1 || __wargv == NULL || __wargv[0] == NULL) {
        abnormal_exit();
    }
    append_value(output, __wargv[0], remaining);
    return true;
}

static bool produce_program_base(wchar_t *output, size_t remaining) {
    if (!expand_path_template(output, L"{PROGRAM}", remaining)) {
        return false;
    }
    size_t length = wcslen(output);
    if (length >= 4 && _wcsicmp(output + length - 4, L".exe") == 0) {
        output[length - 4] = L'\0';
    }
    return true;
}

static bool produce_program_dir(wchar_t *output, size_t remaining) {
    if (!expand_path_template(output, L"{PROGRAM}", remaining)) {
        return false;
    }
    wchar_t *last = wcsrchr(output, L'\\');
    if (last != NULL) {
        *last = L'\0';
    }
    return true;
}

static bool produce_pid(wchar_t *output, size_t remaining) {
    wchar_t *parent = env_get(parent_variable);
    if (parent != NULL) {
        for (const wchar_t *p = parent; *p != L'\0'; p++) {
            if (!iswdigit(*p)) {
                abnormal_exit();
            }
        }
        append_value(output, parent, remaining);
        return true;
    }
    char narrow[number_text_capacity];
    wchar_t wide[number_text_capacity];
    snprintf(narrow, sizeof narrow, "%ld", (long)GetCurrentProcessId());
    widen_ascii(narrow, wide, number_text_capacity);
    append_value(output, wide, remaining);
    return true;
}

#ifdef VELSOR_UNPACK_MODES
// The launcher with the unpack modes reads the two folders from the
// variables the system sets at every logon, which spares a start loading
// the shell (a cached start is otherwise done in a few milliseconds). The
// shell still answers when a variable is missing or holds no full path.
static bool is_full_path(const wchar_t *path) {
    bool drive = iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
    return drive || (path[0] == L'\\' && path[1] == L'\\');
}

static bool append_folder(wchar_t *output, const char *variable, int folder_id, size_t remaining) {
    wchar_t *value = env_get(variable);
    if (value == NULL || !is_full_path(value)) {
        return append_shell_folder(output, folder_id, remaining);
    }
    append_value(output, value, remaining);
    return true;
}

static bool produce_home(wchar_t *output, size_t remaining) {
    return append_folder(output, "USERPROFILE", CSIDL_PROFILE, remaining);
}

static bool produce_cache_dir(wchar_t *output, size_t remaining) {
    return append_folder(output, "LOCALAPPDATA", CSIDL_LOCAL_APPDATA, remaining);
}
#else
static bool produce_home(wchar_t *output, size_t remaining) {
    return append_shell_folder(output, CSIDL_PROFILE, remaining);
}

static bool produce_cache_dir(wchar_t *output, size_t remaining) {
    return append_shell_folder(output, CSIDL_LOCAL_APPDATA, remaining);
}
#endif

static bool produce_random(wchar_t *output, size_t remaining) {
    append_cached(output, remaining, random_variable, draw_token);
    return true;
}

static bool produce_time_us(wchar_t *output, size_t remaining) {
    append_cached(output, remaining, time_us_variable, draw_time_us);
    return true;
}

static bool produce_time(wchar_t *output, size_t remaining) {
    append_cached(output, remaining, start_variable, draw_time);
    return true;
}

struct placeholder {
    const wchar_t *name;
    bool (*produce)(wchar_t *output, size_t remaining);
    bool trim_backslashes;
};

// Looked up in this order, names compared without regard to ASCII case.
static const placeholder placeholders[] = {
    {L"TEMP", produce_temp, true},
    {L"PROGRAM", produce_program, false},
    {L"PROGRAM_BASE", produce_program_base, false},
    {L"PROGRAM_DIR", produce_program_dir, false},
    {L"PID", produce_pid, false},
    {L"HOME", produce_home, true},
    {L"CACHE_DIR", produce_cache_dir, true},
    {L"RANDOM", produce_random, false},
    {L"TIME_US", produce_time_us, false},
    {L"TIME", produce_time, false},
};

static const placeholder *find_placeholder(const wchar_t *name) {
    for (const placeholder &p : placeholders) {
        if (_wcsicmp(p.name, name) == 0) {
            return &p;
        }
    }
    return NULL;
}

/*-**** Expansion ****/

bool append_shell_folder(wchar_t *output, int folder_id, size_t remaining) {
    wchar_t folder[shell_folder_capacity];
    HRESULT result = SHGetFolderPathW(
        /* hwndOwner */ NULL,
        /* nFolder   */ folder_id,
        /* hToken    */ NULL,
        /* dwFlags   */ SHGFP_TYPE_CURRENT,
        /* pszPath   */ folder);
    if (result != S_OK) {
        return false;
    }
    append_value(output, folder, remaining);
    return true;
}

// Removes every backslash at the end of output[0..length), never going
// before the start; returns the new length.
static size_t trim_trailing_backslashes(wchar_t *output, size_t length) {
    while (length > 0 && output[length - 1] == L'\\') {
        output[--length] = L'\0';
    }
    return length;
}

// Appends the value of placeholder `name` at output[*length] and moves
// *length to the new end; false for an unknown name or a failed producer.
static bool append_placeholder(wchar_t *output, size_t *length, size_t capacity, const wchar_t *name) {
    const placeholder *found = find_placeholder(name);
    if (found == NULL || !found->produce(output + *length, capacity - *length)) {
        return false;
    }
    *length += wcslen(output + *length);
    if (found->trim_backslashes) {
        *length = trim_trailing_backslashes(output, *length);
    }
    return true;
}

bool expand_path_template(wchar_t *output, const wchar_t *path_template, size_t capacity) {
    wchar_t name[placeholder_name_capacity];
    size_t name_length = 0;
    bool name_overflow = false;  // more characters than the name buffer holds
    size_t length = 0;           // code units in output, terminator excluded
    bool inside = false;

    if (capacity == 0) {
        return false;
    }
    output[0] = L'\0';
    for (const wchar_t *p = path_template; *p != L'\0'; p++) {
        if (*p == L'{') {
            inside = true;  // a second '{' starts the name again
            name_length = 0;
            name_overflow = false;
        } else if (*p == L'}' && inside) {
            name[name_length] = L'\0';
            // A name too long for the buffer is longer than any known one.
            if (name_overflow || !append_placeholder(output, &length, capacity, name)) {
                return false;
            }
            inside = false;
        } else if (*p == L'}') {
            return false;  // no meaning is defined for a lone '}'
        } else if (inside) {
            if (name_length + 1 < placeholder_name_capacity) {
                name[name_length++] = *p;
            } else {
                name_overflow = true;
            }
        } else {
            if (length + 1 >= capacity) {
                return false;  // literal text out of room
            }
            output[length++] = *p;
            output[length] = L'\0';
        }
    }
    return true;
}
