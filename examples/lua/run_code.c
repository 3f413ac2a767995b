/* lua54.dll: the Lua 5.4 interpreter as a velsor application.
 *
 * The launcher calls run_code with the command line as wide strings. It is
 * handed to the interpreter's own main (lua.c, compiled in as lua_main) as
 * UTF-8, which the file layer in utf8_files.c accepts, so `lua.exe SCRIPT
 * ARGS...` behaves like the lua command everywhere else.
 *
 * Before that, the module search paths are pointed at the directory the DLL
 * was unpacked to: `require` finds Lua modules in its lua\ sub-directory and
 * C modules (built against lua54.dll) beside the DLL, ahead of whatever the
 * user's LUA_PATH / LUA_CPATH and Lua's defaults add after them.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

int lua_main(int argc, char **argv);

enum { VARIABLE_CAPACITY = 32767 }; /* longest environment value Windows allows */

#define COUNT_OF(array) (sizeof(array) / sizeof((array)[0]))

/* Tried in this order, after the application's own directories. */
static const wchar_t *const LUA_PATH_NAMES[] = {L"LUA_PATH_5_4", L"LUA_PATH"};
static const wchar_t *const LUA_CPATH_NAMES[] = {L"LUA_CPATH_5_4", L"LUA_CPATH"};

/* Where the modules are, relative to the application directory; '?' is the
 * module name with dots turned into backslashes. */
static const wchar_t *const LUA_PATH_PATTERNS[] = {L"lua\\?.lua", L"lua\\?\\init.lua"};
static const wchar_t *const LUA_CPATH_PATTERNS[] = {L"?.dll", L"loadall.dll"};

/* A new UTF-8 copy of `wide`, or NULL. */
static char *to_utf8(const wchar_t *wide) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, NULL, 0, NULL, NULL);
    char *text = bytes > 0 ? malloc((size_t)bytes) : NULL;
    if (text != NULL && WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, bytes, NULL, NULL) != bytes) {
        free(text);
        return NULL;
    }
    return text;
}

/* Sets `names[0]` to the application's own patterns, each prefixed with
 * `app_dir` and a backslash, followed by the first of `names` that is set.
 * When none is, the value ends in ";;", where Lua inserts its default path.
 * Returns 0 when the value would be too long for the environment. */
static int prepend_search_path(const wchar_t *app_dir, const wchar_t *const names[2], const wchar_t *const *patterns,
                               size_t pattern_count) {
    static wchar_t value[VARIABLE_CAPACITY + 1];
    static wchar_t previous[VARIABLE_CAPACITY + 1];

    previous[0] = L'\0';
    for (size_t i = 0; i < 2 && previous[0] == L'\0'; i++) {
        DWORD n = GetEnvironmentVariableW(names[i], previous, VARIABLE_CAPACITY + 1);
        if (n > VARIABLE_CAPACITY) {
            previous[0] = L'\0';
        }
    }
    size_t used = 0;
    for (size_t i = 0; i < pattern_count; i++) {
        int n = _snwprintf(value + used, VARIABLE_CAPACITY + 1 - used, L"%ls\\%ls;", app_dir, patterns[i]);
        if (n < 0) {
            return 0;
        }
        used += (size_t)n;
    }
    const wchar_t *rest = previous[0] != L'\0' ? previous : L";";
    if (used + wcslen(rest) > VARIABLE_CAPACITY) {
        return 0;
    }
    wcscpy(value + used, rest);
    return SetEnvironmentVariableW(names[0], value);
}

/* The command line as UTF-8, terminated by a NULL entry like C's argv. */
static char **utf8_arguments(int argc, wchar_t **argv) {
    char **utf8 = calloc((size_t)argc + 1, sizeof(char *));
    for (int i = 0; utf8 != NULL && i < argc; i++) {
        utf8[i] = to_utf8(argv[i]);
        if (utf8[i] == NULL) {
            return NULL;
        }
    }
    return utf8;
}

__declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    static wchar_t app_dir[VARIABLE_CAPACITY + 1];

    if (wcslen(dll_path) > VARIABLE_CAPACITY) {
        fputs("lua: the application path is too long\n", stderr);
        return EXIT_FAILURE;
    }
    wcscpy(app_dir, dll_path);
    wchar_t *last_separator = wcsrchr(app_dir, L'\\');
    if (last_separator != NULL) {
        *last_separator = L'\0';
    }
    if (!prepend_search_path(app_dir, LUA_PATH_NAMES, LUA_PATH_PATTERNS, COUNT_OF(LUA_PATH_PATTERNS)) ||
        !prepend_search_path(app_dir, LUA_CPATH_NAMES, LUA_CPATH_PATTERNS, COUNT_OF(LUA_CPATH_PATTERNS))) {
        fputs("lua: cannot set the module search path\n", stderr);
        return EXIT_FAILURE;
    }
    char **utf8_argv = utf8_arguments(argc, argv);
    if (utf8_argv == NULL) {
        fputs("lua: cannot convert the command line to UTF-8\n", stderr);
        return EXIT_FAILURE;
    }
    return lua_main(argc, utf8_argv);
}
