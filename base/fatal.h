// Fatal error reporting: one line of text, then the process ends.
//
// Every routine here is called at the point of failure and never returns.
// Plain messages go to stdout, messages with a system error code or a path
// to stderr; the process then ends through exit(2), or abnormally for a
// failed template expansion and for a capacity stop. Every room reports
// through these; the payload fuzzers link stand-ins that record the outcome
// instead of ending the process.
#pragma once

#include <windows.h>

// Writes "<message> ([Error <code>] <system text>)" on stderr.
void print_error_with_code(const char *message, DWORD code);

[[noreturn]] void fatal_error(const char *message);
[[noreturn]] void fatal_error_with_code(const char *message, DWORD code);

// The fixed messages.
[[noreturn]] void fatal_header_missing(void);
[[noreturn]] void fatal_out_of_memory(void);
[[noreturn]] void fatal_decode_failed(void);
[[noreturn]] void fatal_unpack_failed(void);  // reads GetLastError itself
[[noreturn]] void fatal_launch_failed(DWORD code);
[[noreturn]] void fatal_open_for_writing(const wchar_t *path);
[[noreturn]] void fatal_expand_failed(const wchar_t *path_template);

// A bounded copy ran out of room: abnormal end, no message.
[[noreturn]] void capacity_stop(void);

// Abnormal end without any dialog or wait: fast fail where the processor
// offers it (status 0xC0000409), else exit status 3.
[[noreturn]] void abnormal_exit(void);
