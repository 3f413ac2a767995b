/* UTF-8 versions of the C runtime and Windows calls that the Lua interpreter
 * makes with file names, commands and environment variable names; see
 * utf8_files.h. Each converts its text arguments to UTF-16 and calls the
 * wide-character function; text that is not valid UTF-8 goes to the narrow
 * function as before.
 */
#define UTF8_FILES_IMPLEMENTATION
#define UTF8_FILES_WINDOWS
#include "utf8_files.h"

#include <io.h>
#include <process.h>
#include <string.h>
#include <wchar.h>

enum {
    WIDE_PATH_CAPACITY = 32768, /* longest path or variable value Windows has */
    GETENV_SLOTS = 4            /* values handed out before one is reused */
};

/*-**** Conversions ****/

/* A new UTF-16 copy of `text`, or NULL when it is not valid UTF-8 (or memory
 * ran out). The caller frees it. */
static wchar_t *widen(const char *text) {
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, NULL, 0);
    if (units <= 0) {
        return NULL;
    }
    wchar_t *wide = malloc((size_t)units * sizeof(wchar_t));
    if (wide != NULL && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, units) != units) {
        free(wide);
        return NULL;
    }
    return wide;
}

/* A new UTF-8 copy of `wide`, or NULL. The caller frees it. */
static char *narrow(const wchar_t *wide) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, NULL, 0, NULL, NULL);
    if (bytes <= 0) {
        return NULL;
    }
    char *text = malloc((size_t)bytes);
    if (text != NULL && WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, bytes, NULL, NULL) != bytes) {
        free(text);
        return NULL;
    }
    return text;
}

/*-**** Files and commands ****/

FILE *utf8_fopen(const char *name, const char *mode) {
    wchar_t *wide_name = widen(name);
    wchar_t *wide_mode = widen(mode);
    FILE *file = wide_name != NULL && wide_mode != NULL ? _wfopen(wide_name, wide_mode) : fopen(name, mode);
    free(wide_name);
    free(wide_mode);
    return file;
}

FILE *utf8_freopen(const char *name, const char *mode, FILE *stream) {
    wchar_t *wide_name = widen(name);
    wchar_t *wide_mode = widen(mode);
    FILE *file = wide_name != NULL && wide_mode != NULL ? _wfreopen(wide_name, wide_mode, stream)
                                                        : freopen(name, mode, stream);
    free(wide_name);
    free(wide_mode);
    return file;
}

int utf8_remove(const char *name) {
    wchar_t *wide_name = widen(name);
    int result = wide_name != NULL ? _wremove(wide_name) : remove(name);
    free(wide_name);
    return result;
}

int utf8_rename(const char *from, const char *to) {
    wchar_t *wide_from = widen(from);
    wchar_t *wide_to = widen(to);
    int result = wide_from != NULL && wide_to != NULL ? _wrename(wide_from, wide_to) : rename(from, to);
    free(wide_from);
    free(wide_to);
    return result;
}

/* system(NULL) asks whether a command processor exists. */
int utf8_system(const char *command) {
    if (command == NULL) {
        return system(NULL);
    }
    wchar_t *wide_command = widen(command);
    int result = wide_command != NULL ? _wsystem(wide_command) : system(command);
    free(wide_command);
    return result;
}

FILE *utf8_popen(const char *command, const char *mode) {
    wchar_t *wide_command = widen(command);
    wchar_t *wide_mode = widen(mode);
    FILE *pipe = wide_command != NULL && wide_mode != NULL ? _wpopen(wide_command, wide_mode) : _popen(command, mode);
    free(wide_command);
    free(wide_mode);
    return pipe;
}

/*-**** Environment ****/

/* Reads the process environment itself rather than the C runtime's copy,
 * so that variables set with SetEnvironmentVariableW are seen too. */
char *utf8_getenv(const char *name) {
    static char *handed_out[GETENV_SLOTS];
    static unsigned next_slot;

    wchar_t *wide_name = widen(name);
    if (wide_name == NULL) {
        return getenv(name);
    }
    wchar_t *value = malloc(WIDE_PATH_CAPACITY * sizeof(wchar_t));
    DWORD length = value != NULL ? GetEnvironmentVariableW(wide_name, value, WIDE_PATH_CAPACITY) : 0;
    free(wide_name);
    char *text = length > 0 && length < WIDE_PATH_CAPACITY ? narrow(value) : NULL;
    free(value);
    if (text == NULL) {
        return NULL;
    }
    /* getenv's result is not the caller's to free: keep it for a while. */
    unsigned slot = next_slot++ % GETENV_SLOTS;
    free(handed_out[slot]);
    handed_out[slot] = text;
    return text;
}

/*-**** Module loading ****/

HMODULE utf8_load_library(const char *name, HANDLE reserved, DWORD flags) {
    wchar_t *wide_name = widen(name);
    if (wide_name == NULL) {
        return LoadLibraryExA(name, reserved, flags);
    }
    HMODULE module = LoadLibraryExW(wide_name, reserved, flags);
    DWORD error = GetLastError();
    free(wide_name);
    SetLastError(error); /* the caller reports why the load failed */
    return module;
}

/* Like GetModuleFileNameA: the length without the terminator, or `size`
 * when the name was cut to fit, or 0 on failure. */
DWORD utf8_module_file_name(HMODULE module, char *buffer, DWORD size) {
    wchar_t *wide = malloc(WIDE_PATH_CAPACITY * sizeof(wchar_t));
    if (wide == NULL || size == 0) {
        free(wide);
        return 0;
    }
    DWORD units = GetModuleFileNameW(module, wide, WIDE_PATH_CAPACITY);
    char *text = units > 0 && units < WIDE_PATH_CAPACITY ? narrow(wide) : NULL;
    free(wide);
    if (text == NULL) {
        return 0;
    }
    size_t length = strlen(text);
    DWORD result = length < size ? (DWORD)length : size;
    memcpy(buffer, text, length < size ? length + 1 : size - 1);
    buffer[result < size ? result : size - 1] = '\0';
    free(text);
    return result;
}
