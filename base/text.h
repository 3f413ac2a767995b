// Bounded text helpers that every room uses: plain functions over buffers,
// no system calls beyond the C runtime. A text that does not fit is a
// capacity stop (base/fatal.h); nothing is ever written past a buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

// Copies `source` with its terminator into `destination`; a source that does
// not fit in `capacity` code units is a capacity stop. Copies forward, so the
// source may lie later in the same buffer.
void copy_bounded(wchar_t *destination, const wchar_t *source, size_t capacity);

// Widens ASCII text one byte at a time with the C runtime into `wide`, which
// holds `capacity` code units with the terminator. Text that does not fit is
// a capacity stop; a byte that does not become exactly one wide character
// ends the process abnormally.
void widen_ascii(const char *text, wchar_t *wide, size_t capacity);

// Quotes `argv` into one command line that CommandLineToArgvW and the C
// runtime split back into the same arguments. Empty arguments become "".
// Writes at most `capacity` code units, terminator included; text that would
// not fit is a capacity stop.
void quote_command_line(wchar_t *line, size_t capacity, int argc, const wchar_t *const *argv);

// Reads a process ID written as a signed 32-bit decimal: optional leading
// white space and sign, at least one digit, nothing after the digits.
bool parse_process_id(const wchar_t *text, DWORD *process_id);

// A FILETIME as one 64-bit count of 100 ns units.
inline uint64_t filetime_count(FILETIME time) { return ((uint64_t)time.dwHighDateTime << 32) | time.dwLowDateTime; }

// The names of base/layout.h as the system calls take them (UTF-16 both).
static_assert(sizeof(wchar_t) == sizeof(char16_t));
inline const wchar_t *wide_name(const char16_t *name) { return (const wchar_t *)name; }
