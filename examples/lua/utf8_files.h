/* UTF-8 file names and environment for the Lua interpreter on Windows.
 *
 * Lua passes file names and environment variable names to the C runtime's
 * narrow functions (fopen, remove, getenv, LoadLibraryExA...), which read
 * them in the ANSI code page. The application DLL builds its module search
 * paths from its own wide path and hands the command line over as UTF-8, so
 * a path outside the ANSI code page (a user name in Greek under %TEMP%, a
 * script in a folder named in Cyrillic) would not reach the file system.
 *
 * This header is included ahead of every interpreter source file (compiler
 * option -include) and routes those calls through wide-character versions
 * that take UTF-8. A string that is not valid UTF-8 is passed to the narrow
 * function unchanged, so ANSI names that worked before still work.
 */
#ifndef VELSOR_LUA_UTF8_FILES_H
#define VELSOR_LUA_UTF8_FILES_H

#include <stdio.h>
#include <stdlib.h>

FILE *utf8_fopen(const char *name, const char *mode);
FILE *utf8_freopen(const char *name, const char *mode, FILE *stream);
int utf8_remove(const char *name);
int utf8_rename(const char *from, const char *to);
int utf8_system(const char *command);
FILE *utf8_popen(const char *command, const char *mode);

/* The value stays valid until four further calls have been made. */
char *utf8_getenv(const char *name);

#ifndef UTF8_FILES_IMPLEMENTATION
#define fopen utf8_fopen
#define freopen utf8_freopen
#define remove utf8_remove
#define rename utf8_rename
#define system utf8_system
#define _popen utf8_popen
#define getenv utf8_getenv
#endif

/* Only the module loader (loadlib.c) calls Windows itself. windows.h comes
 * first so that its declarations keep their own names. */
#ifdef UTF8_FILES_WINDOWS
#include <windows.h>

HMODULE utf8_load_library(const char *name, HANDLE reserved, DWORD flags);
DWORD utf8_module_file_name(HMODULE module, char *buffer, DWORD size);

#ifndef UTF8_FILES_IMPLEMENTATION
#define LoadLibraryExA utf8_load_library
#define GetModuleFileNameA utf8_module_file_name
#endif
#endif

#endif
