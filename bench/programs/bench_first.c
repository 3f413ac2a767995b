/* A tiny console program for the start-up benchmark: its first statement
 * takes the time, then it writes to REPORT (argument 1) its own creation
 * time and that time (FILETIME ticks of 100 ns). Built three ways from this
 * file unchanged: an executable started directly, the same executable as a
 * packed program entry (through the runner), and an application DLL through
 * velsor/app.h. */
#include <stdio.h>
#include <windows.h>

static unsigned long long ticks(FILETIME t) { return ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime; }

int main(int argc, char **argv) {
    FILETIME entered, created, exited, kernel, user;
    GetSystemTimePreciseAsFileTime(&entered);
    if (argc < 2) {
        return 0;
    }
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    FILE *f = fopen(argv[1], "w");
    if (f == NULL) {
        return 1;
    }
    fprintf(f, "%llu %llu\n", ticks(created), ticks(entered));
    fclose(f);
    return 0;
}
