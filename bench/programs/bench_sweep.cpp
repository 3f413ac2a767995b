// The runner's sweep of directories left by killed runs, timed in-process.
//   bench_sweep TEMP_DIR ROUNDS
// Points TMP and TEMP at TEMP_DIR, calls sweep_killed_runs ROUNDS times and
// prints one line per call: its time in microseconds.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "program/sweep.h"

int wmain(int argc, wchar_t **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_sweep TEMP_DIR ROUNDS\n");
        return 64;
    }
    SetEnvironmentVariableW(L"TMP", argv[1]);
    SetEnvironmentVariableW(L"TEMP", argv[1]);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    for (int round = 0, rounds = _wtoi(argv[2]); round < rounds; round++) {
        QueryPerformanceCounter(&start);
        sweep_killed_runs(L"onefile_0_000000_bench");
        QueryPerformanceCounter(&end);
        printf("%lld\n", (end.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
    }
    return 0;
}
