// Fatal error reporting: one line of text, then the process ends.
//
// Every routine here is called at the point of failure and never returns.
// Plain messages go to stdout, messages with a system error code or a path
// to stderr; the process then ends through exit(2), or abnormally for a
// failed template expansion and for a capacity stop.
#pragma once

#include <windows.h>

#include "payload/host.h"  // the stops that payload reading and extraction call

// Writes "<message> ([Error <code>] <system text>)" on stderr.
void print_error_with_code(const char *message, DWORD code);

[[noreturn]] void fatal_error(const char *message);
[[noreturn]] void fatal_error_with_code(const char *message, DWORD code);

[[noreturn]] void fatal_launch_failed(DWORD code);

// Abnormal end without any dialog or wait: fast fail where the processor
// offers it (status 0xC0000409), else exit status 3.
[[noreturn]] void abnormal_exit(void);
