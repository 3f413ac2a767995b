// A packed program's fixed arguments and environment settings: the entry
// file read and checked whole, then each item expanded and applied.
#include "program/entry_options.h"

#include <wchar.h>

#include "base/fatal.h"
#include "base/layout.h"
#include "base/text.h"
#include "paths/join.h"

static const wchar_t entry_header[] = L"velsor entry 1";
static const size_t entry_header_units = sizeof entry_header / sizeof entry_header[0];  // with its 0
static const wchar_t argument_tag = L'a';
static const wchar_t setting_tag = L'e';
static const wchar_t unpack_dir_placeholder[] = L"{UNPACK_DIR}";
static const wchar_t env_placeholder[] = L"{ENV:";

// A command line, and an environment value, hold at most 32,767 units.
static const size_t text_capacity = 32768;
// A text quoted: every unit escaped, two quotes, the terminator.
static const size_t quoted_capacity = 2 * text_capacity + 2;
// velsor-pack writes no larger file.
static const LONGLONG largest_entry_file = 16 << 20;

static const char damaged_message[] = "Error, the program's fixed arguments are damaged.";
static const char line_too_long_message[] = "Error, the program's command line is too long.";
static const char value_too_long_message[] = "Error, an environment value for the program is too long.";

static wchar_t expanded[text_capacity];
static wchar_t quoted[quoted_capacity];

static size_t placeholder_units(const wchar_t *placeholder) { return wcslen(placeholder); }

/*-**** The file's form ****/

// Past the placeholder that starts at `p` (a '{' before `end`), or NULL
// when it is none that velsor knows.
static const wchar_t *skip_placeholder(const wchar_t *p, const wchar_t *end) {
    size_t left = (size_t)(end - p);
    if (left >= 2 && p[1] == L'{') {
        return p + 2;
    }
    size_t unpack = placeholder_units(unpack_dir_placeholder);
    if (left >= unpack && wmemcmp(p, unpack_dir_placeholder, unpack) == 0) {
        return p + unpack;
    }
    size_t env = placeholder_units(env_placeholder);
    if (left < env || wmemcmp(p, env_placeholder, env) != 0) {
        return NULL;
    }
    const wchar_t *name = p + env, *q = name;
    while (q < end && *q != L'}' && *q != L'{') {
        q++;
    }
    return q > name && q < end && *q == L'}' ? q + 1 : NULL;
}

static bool placeholders_known(const wchar_t *text, const wchar_t *end) {
    for (const wchar_t *p = text; p < end;) {
        if (*p != L'{') {
            p++;
        } else if ((p = skip_placeholder(p, end)) == NULL) {
            return false;
        }
    }
    return true;
}

// One item from `text` (its tag already read) to the 0 unit at `stop`.
static bool item_well_formed(wchar_t tag, const wchar_t *text, const wchar_t *stop) {
    if (tag == argument_tag) {
        return placeholders_known(text, stop);
    }
    if (tag != setting_tag) {
        return false;
    }
    const wchar_t *equals = wmemchr(text, L'=', (size_t)(stop - text));
    return equals != NULL && equals != text && placeholders_known(equals + 1, stop);
}

// The header, then whole items only.
static bool entry_file_well_formed(const wchar_t *units, size_t count) {
    if (count < entry_header_units || wmemcmp(units, entry_header, entry_header_units) != 0) {
        return false;
    }
    const wchar_t *end = units + count;
    for (const wchar_t *p = units + entry_header_units; p < end;) {
        wchar_t tag = *p++;
        const wchar_t *stop = p < end ? wmemchr(p, L'\0', (size_t)(end - p)) : NULL;
        if (stop == NULL || !item_well_formed(tag, p, stop)) {
            return false;
        }
        p = stop + 1;
    }
    return true;
}

/*-**** Reading the file ****/

[[noreturn]] static void fatal_read_failed(DWORD code) {
    fatal_error_with_code("Error, couldn't read the program's fixed arguments", code);
}

static void read_all(HANDLE file, wchar_t *buffer, DWORD bytes) {
    for (DWORD done = 0; done < bytes;) {
        DWORD got = 0;
        if (!ReadFile(
                /* hFile                */ file,
                /* lpBuffer             */ (char *)buffer + done,
                /* nNumberOfBytesToRead */ bytes - done,
                /* lpNumberOfBytesRead  */ &got,
                /* lpOverlapped         */ NULL)) {
            fatal_read_failed(GetLastError());
        }
        if (got == 0) {
            fatal_error(damaged_message);  // shorter than its size said
        }
        done += got;
    }
}

// The entry file whole, in a block of the process heap that the caller
// frees; false when the directory has none.
static bool read_entry_file(const wchar_t *directory, wchar_t **units, size_t *count) {
    wchar_t path[payload_path_capacity];
    if (!join_path(path, directory, wide_name(velsor_directory_name), wide_name(entry_options_leaf))) {
        capacity_stop();  // the runner beside it has the longer name, and fitted
    }
    HANDLE file = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ GENERIC_READ,
        /* dwShareMode           */ FILE_SHARE_READ,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ FILE_ATTRIBUTE_NORMAL,
        /* hTemplateFile         */ NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return false;
        }
        fatal_read_failed(code);
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        fatal_read_failed(GetLastError());
    }
    if (size.QuadPart > largest_entry_file || size.QuadPart % sizeof(wchar_t) != 0) {
        fatal_error(damaged_message);
    }
    wchar_t *buffer = (wchar_t *)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size.QuadPart);
    if (buffer == NULL) {
        fatal_out_of_memory();
    }
    read_all(file, buffer, (DWORD)size.QuadPart);
    CloseHandle(file);
    *units = buffer;
    *count = (size_t)size.QuadPart / sizeof(wchar_t);
    return true;
}

/*-**** Expansion ****/

static void put_units(size_t *length, const wchar_t *text, size_t count, const char *too_long) {
    if (count >= text_capacity - *length) {
        fatal_error(too_long);
    }
    wmemcpy(expanded + *length, text, count);
    *length += count;
    expanded[*length] = L'\0';
}

// Appends the value of the variable `name`; nothing when it is unset.
static void put_variable(size_t *length, const wchar_t *name, const char *too_long) {
    DWORD room = (DWORD)(text_capacity - *length);
    DWORD got = GetEnvironmentVariableW(name, expanded + *length, room);
    if (got >= room) {
        fatal_error(too_long);  // the size it would need
    }
    *length += got;
    expanded[*length] = L'\0';
}

// Expands the placeholder at `p`, known well formed; returns past it. An
// {ENV:NAME} gets its terminator in place of its '}'.
static wchar_t *put_placeholder(size_t *length, wchar_t *p, const wchar_t *directory, const char *too_long) {
    if (p[1] == L'{') {
        put_units(length, p, 1, too_long);
        return p + 2;
    }
    size_t unpack = placeholder_units(unpack_dir_placeholder);
    if (wcsncmp(p, unpack_dir_placeholder, unpack) == 0) {
        put_units(length, directory, wcslen(directory), too_long);
        return p + unpack;
    }
    wchar_t *name = p + placeholder_units(env_placeholder);
    wchar_t *close = wcschr(name, L'}');
    *close = L'\0';
    put_variable(length, name, too_long);
    return close + 1;
}

// Expands `text` into `expanded`.
static void expand(wchar_t *text, const wchar_t *directory, const char *too_long) {
    size_t length = 0;
    expanded[0] = L'\0';
    for (wchar_t *p = text; *p != L'\0';) {
        wchar_t *brace = wcschr(p, L'{');
        size_t plain = brace != NULL ? (size_t)(brace - p) : wcslen(p);
        put_units(&length, p, plain, too_long);
        p = brace != NULL ? put_placeholder(&length, brace, directory, too_long) : p + plain;
    }
}

/*-**** Applying the items ****/

void append_program_argument(wchar_t *line, size_t capacity, size_t *length, const wchar_t *argument) {
    if (wcslen(argument) >= text_capacity) {
        fatal_error(line_too_long_message);
    }
    const wchar_t *const one[] = {argument};
    quote_command_line(quoted, quoted_capacity, 1, one);
    size_t count = wcslen(quoted);
    if (count + 2 > capacity - *length) {
        fatal_error(line_too_long_message);  // the space, the text and the terminator must fit
    }
    line[(*length)++] = L' ';
    wmemcpy(line + *length, quoted, count + 1);
    *length += count;
}

// NAME=VALUE: VALUE expanded, then set as NAME.
static void apply_setting(wchar_t *text, const wchar_t *directory) {
    wchar_t *equals = wcschr(text, L'=');
    *equals = L'\0';
    expand(equals + 1, directory, value_too_long_message);
    if (!SetEnvironmentVariableW(text, expanded)) {
        DWORD code = GetLastError();
        fatal_error_with_code("Error, couldn't set the program's environment", code);
    }
}

bool apply_entry_options(const wchar_t *directory, wchar_t *line, size_t capacity, size_t *length) {
    wchar_t *units = NULL;
    size_t count = 0;
    if (!read_entry_file(directory, &units, &count)) {
        return false;
    }
    if (!entry_file_well_formed(units, count)) {
        fatal_error(damaged_message);
    }
    const wchar_t *end = units + count;
    for (wchar_t *p = units + entry_header_units; p < end;) {
        wchar_t tag = *p++;
        wchar_t *next = p + wcslen(p) + 1;  // before the expansion writes terminators into the text
        if (tag == argument_tag) {
            expand(p, directory, line_too_long_message);
            append_program_argument(line, capacity, length, expanded);
        } else {
            apply_setting(p, directory);
        }
        p = next;
    }
    HeapFree(GetProcessHeap(), 0, units);
    return true;
}
