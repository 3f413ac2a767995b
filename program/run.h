// Starting a packed program: what the runner DLL (and any other host of the
// program) calls.
#pragma once

#include <windows.h>

// Runs the program at `relative` (backslash-separated, below the unpacked
// `directory`) with argument 0 replaced by its full path, then its fixed
// arguments and environment when the directory has them
// (program/entry_options.h), then argv[1..argc-1], quoted as the launcher
// quotes a child's arguments, and returns its exit code
// (program/program.h says when a run is over).
// Watches this run's launcher (VELSOR_ONEFILE_PARENT): a launcher already
// gone returns 1 without starting anything, one that ends meanwhile ends
// the program. A directory that is not `kept` is marked live for as long as
// this process runs; the directories that killed runs left are swept first.
DWORD program_run(const wchar_t *directory, const wchar_t *relative, int argc, wchar_t **argv, bool kept);
