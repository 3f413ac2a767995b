// Environment variables.
#include "paths/env.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "launcher/fatal.h"

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

void widen_ascii(const char *text, wchar_t *wide, size_t capacity) {
    size_t length = 0;
    wide[0] = L'\0';
    for (const char *p = text; *p != '\0'; p++) {
        char narrow[2] = {*p, '\0'};
        wchar_t converted[2];
        if (mbstowcs(converted, narrow, 2) != 1) {
            abnormal_exit();
        }
        if (length + 1 >= capacity) {
            capacity_stop();
        }
        wide[length++] = converted[0];
        wide[length] = L'\0';
    }
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
