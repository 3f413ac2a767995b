// Just enough of <windows.h> to compile the payload reader and the entry
// walk on Linux for fuzzing. The file calls land in an in-memory file system
// (fuzz_files.cpp); the wide-string calls are redirected to 16-bit versions
// because the fuzz build uses -fshort-wchar while the C library's wcs*
// functions still expect 32-bit units.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>  // declared before the redirections below

typedef int BOOL;
typedef uint32_t DWORD;
typedef void *HANDLE;
typedef const wchar_t *LPCWSTR;
typedef void *LPSECURITY_ATTRIBUTES;
typedef void *LPOVERLAPPED;
typedef struct {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_ALWAYS 2u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_WRITE_FAULT 29u
#define ERROR_DISK_FULL 112u

BOOL WriteFile(HANDLE file, const void *data, DWORD size, DWORD *written, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
DWORD GetLastError(void);
void SetLastError(DWORD code);

size_t fuzz_wcslen(const wchar_t *s);
int fuzz_wcscmp(const wchar_t *a, const wchar_t *b);
wchar_t *fuzz_wcsrchr(const wchar_t *s, wchar_t c);
wchar_t *fuzz_wcsdup(const wchar_t *s);
#define wcslen fuzz_wcslen
#define wcscmp fuzz_wcscmp
#define wcsrchr fuzz_wcsrchr
#define _wcsdup fuzz_wcsdup
