// The child process: its command line and its launch.
#pragma once

#include <stddef.h>
#include <windows.h>

inline constexpr size_t child_command_line_capacity = 32768;

// The process's own command line with argument 0 replaced by the module
// path, quoted again. The buffer is valid until the next build.
wchar_t *build_child_command_line(void);

// Starts this executable again as the child with the parent's standard
// handles and environment; returns its process handle. A failed start is fatal.
HANDLE launch_child(void);
