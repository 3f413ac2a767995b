/* Times whole runs of several programs in paired rounds, from one process:
 *   bench_rounds ROUNDS RAW_DIR NAME=COMMAND_LINE ...
 * Each round runs every command line once, the order reversed every other
 * round; round 0 is a warm-up. Each run goes from just before
 * CreateProcessW to the end of the wait, with standard input on NUL and
 * the output in RAW_DIR\output.txt (a file: under Wine every write to NUL
 * is a call to the server, which would time a chatty program's output
 * instead of its start), and appends a line to
 * RAW_DIR\NAME.txt: the two times (FILETIME ticks of 100 ns), the exit
 * code and the process's lifetime by its own creation and exit times.
 * Wine 8 now and then fails a CreateProcessW outright (error 1359, nothing
 * started): such a start is tried again, up to twice, and counted in
 * RAW_DIR\retries.txt. Exits 1 when a start failed three times. */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

static const int tries = 3;

static unsigned long long ticks(FILETIME t) { return ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime; }

static unsigned long long now(void) {
    FILETIME t;
    GetSystemTimePreciseAsFileTime(&t);
    return ticks(t);
}

static void append_line(const wchar_t *raw, const wchar_t *name, const char *line) {
    wchar_t path[MAX_PATH * 2];
    _snwprintf(path, MAX_PATH * 2, L"%ls\\%ls.txt", raw, name);
    FILE *file = _wfopen(path, L"a");
    if (file != NULL) {
        fputs(line, file);
        fclose(file);
    }
}

// One timed run of `command` (copied: CreateProcessW may write to it).
static BOOL run_once(const wchar_t *command, HANDLE nul, HANDLE output, char *line, size_t capacity) {
    wchar_t copy[8192];
    wcsncpy(copy, command, 8191);
    copy[8191] = L'\0';
    STARTUPINFOW startup = {sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION process;
    unsigned long long start = now();
    if (!CreateProcessW(NULL, copy, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        return FALSE;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    unsigned long long end = now();
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user);
    snprintf(line, capacity, "%llu %llu %lu %llu\n", start, end, (unsigned long)code, ticks(exited) - ticks(created));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return TRUE;
}

int wmain(int argc, wchar_t **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: bench_rounds ROUNDS RAW_DIR NAME=COMMAND_LINE ...\n");
        return 2;
    }
    int rounds = _wtoi(argv[1]), count = argc - 3;
    const wchar_t *raw = argv[2];
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, NULL);
    wchar_t output_path[MAX_PATH * 2];
    _snwprintf(output_path, MAX_PATH * 2, L"%ls\\output.txt", raw);
    HANDLE output = CreateFileW(output_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                0, NULL);
    for (int round = 0; round <= rounds; round++) {
        for (int k = 0; k < count; k++) {
            wchar_t *series = argv[3 + (round % 2 ? count - 1 - k : k)];
            wchar_t *equals = wcschr(series, L'=');
            if (equals == NULL) {
                return 2;
            }
            *equals = L'\0';
            char line[128];
            int attempt = 0;
            while (!run_once(equals + 1, nul, output, line, sizeof line)) {
                append_line(raw, L"retries", "1\n");
                if (++attempt == tries) {
                    fwprintf(stderr, L"bench_rounds: %ls: cannot start (error %lu)\n", series, GetLastError());
                    return 1;
                }
            }
            append_line(raw, series, line);
            *equals = L'=';
        }
    }
    return 0;
}
