/* The benchmarks' application DLL. run_code(REPORT) writes one line to
 * REPORT: this process's creation time and the time run_code was entered
 * (both FILETIME ticks of 100 ns), then the parent launcher's peak working
 * set and peak private bytes (it has finished extracting by now). */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <psapi.h>

static unsigned long long ticks(FILETIME t) { return ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime; }

static void parent_memory(unsigned long long *peak_working_set, unsigned long long *peak_private) {
    wchar_t text[32];
    *peak_working_set = *peak_private = 0;
    if (GetEnvironmentVariableW(L"VELSOR_ONEFILE_PARENT", text, 32) == 0) {
        return;
    }
    HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, (DWORD)wcstoul(text, NULL, 10));
    if (parent == NULL) {
        return;
    }
    PROCESS_MEMORY_COUNTERS counters = {sizeof counters};
    if (K32GetProcessMemoryInfo(parent, &counters, sizeof counters)) {
        *peak_working_set = counters.PeakWorkingSetSize;
        *peak_private = counters.PeakPagefileUsage;
    }
    CloseHandle(parent);
}

__declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    FILETIME entered, created, exited, kernel, user;
    GetSystemTimePreciseAsFileTime(&entered);
    (void)dll_path;
    if (argc < 2) {
        return 0;
    }
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    unsigned long long working_set, private_bytes;
    parent_memory(&working_set, &private_bytes);
    FILE *f = _wfopen(argv[1], L"w");
    if (f == NULL) {
        return 1;
    }
    fprintf(f, "%llu %llu %llu %llu\n", ticks(created), ticks(entered), working_set, private_bytes);
    fclose(f);
    return 0;
}
