// The program that the runner starts: its start inside a job object, the
// wait for its end, and the console events while it runs.
#pragma once

#include <windows.h>

// Starts `program` (a full path) with `command_line`, the child's standard
// handles, console, current directory and environment, in a job that ends
// it (and whatever it starts) when this process ends. Waits for it and
// returns its exit code. A program that cannot be started is fatal.
DWORD run_program(const wchar_t *program, wchar_t *command_line);
