// Environment variables: the launcher's only channel from parent to child.
//
// Names are short ASCII constants; values are wide strings. A read returns a
// heap copy that the caller owns (never freed by the launcher), or null when
// the variable is missing, empty or longer than 32,767 characters.
#pragma once

#include <stddef.h>

wchar_t *env_get_wide(const wchar_t *name);
wchar_t *env_get(const char *name);
void env_set(const char *name, const wchar_t *value);
void env_unset(const char *name);

// Widens ASCII text one byte at a time with the C runtime into `wide`, which
// holds `capacity` code units with the terminator. Text that does not fit is
// a capacity stop; a byte that does not become exactly one wide character
// ends the process abnormally.
void widen_ascii(const char *text, wchar_t *wide, size_t capacity);
