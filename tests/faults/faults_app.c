/* The application of the fault and load tests.
 *
 *   faults_app REPORT CODE [SLEEP_MS]
 *
 * Writes its DLL path and process ID to REPORT (UTF-8, one per line), sleeps
 * SLEEP_MS milliseconds if given, and returns CODE. Plain C over the Win32
 * API, so the DLL stays small. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static int write_report(const wchar_t *path, const wchar_t *dll_path) {
    char utf8[4 * MAX_PATH * 4];
    int n = WideCharToMultiByte(CP_UTF8, 0, dll_path, -1, utf8, (int)sizeof utf8, NULL, NULL);
    if (n <= 0) {
        return 0;
    }
    char text[sizeof utf8 + 64];
    int length = snprintf(text, sizeof text, "%s\n%lu\n", utf8, (unsigned long)GetCurrentProcessId());
    /* Written under a temporary name and then renamed, so a reader that sees
     * the report sees all of it. */
    wchar_t partial[MAX_PATH * 4];
    _snwprintf(partial, MAX_PATH * 4, L"%ls.part", path);
    HANDLE file = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, (DWORD)length, &written, NULL) && written == (DWORD)length;
    CloseHandle(file);
    return ok && MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING);
}

__declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    if (argc < 3) {
        return 98;
    }
    if (!write_report(argv[1], dll_path)) {
        return 97;
    }
    if (argc > 3) {
        Sleep((DWORD)wcstoul(argv[3], NULL, 0));
    }
    return (int)wcstoul(argv[2], NULL, 0);
}
