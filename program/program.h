// The program that the runner starts: its start inside a job object, the
// wait for its end, and the console events while it runs.
#pragma once

#include <windows.h>

// Starts `program` (a full path) with `command_line`, the child's standard
// handles, console, current directory and environment, in a job (runner/
// job.h), and returns its exit code once the run is over:
//   - `directory_kept` false (the directory goes after the run): when the
//     program and every process it started have ended;
//   - `directory_kept` true (a cache): when the program has ended; what it
//     started goes on running.
// When `launcher` (the parent launcher, may be null) ends first, the
// program and everything it started are ended with it. A program that
// cannot be started is fatal.
DWORD run_program(const wchar_t *program, wchar_t *command_line, bool directory_kept, HANDLE launcher);
