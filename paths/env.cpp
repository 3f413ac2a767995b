// Environment variables.
#include "paths/env.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/text.h"

static const size_t name_capacity = 40;
static const DWORD value_capacity = 32768;  // the system's limit plus the terminator

static wchar_t value_buffer[value_capacity];

wchar_t *env_get_wide(const wchar_t *name) {
    value_buffer[0] = L'\0';
    DWORD length = GetEnvironmentVariableW(name, value_buffer, value_capacity);
    if (length == 0 || length >= value_capacity) {
        return NULL;
    }
    return _wcsdup(value_buffer);
}

wchar_t *env_get(const char *name) {
    wchar_t wide[name_capacity];
    widen_ascii(name, wide, name_capacity);
    return env_get_wide(wide);
}

void env_set(const char *name, const wchar_t *value) {
    wchar_t wide[name_capacity];
    widen_ascii(name, wide, name_capacity);
    SetEnvironmentVariableW(wide, value);
}

void env_unset(const char *name) {
    wchar_t wide[name_capacity];
    widen_ascii(name, wide, name_capacity);
    SetEnvironmentVariableW(wide, NULL);
}

bool env_parent_process_id(DWORD *process_id) {
    wchar_t *text = env_get("VELSOR_ONEFILE_PARENT");
    return text != NULL && parse_process_id(text, process_id);
}
