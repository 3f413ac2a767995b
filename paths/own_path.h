// The launcher's own executable path and the canonical forms it is compared in.
#pragma once

#include <stddef.h>

inline constexpr size_t own_path_capacity = 4097;

// With `resolve` true, replaces `path` in place by the file's final path in
// drive-letter or \\server\share form; a file that cannot be opened stays as it is.
void resolve_final_path(wchar_t *path, size_t capacity, bool resolve);

// Rewrites the \\?\C:\ and \\?\UNC\ prefixes of a final path to their plain
// forms; any other prefix stays.
void strip_final_path_prefix(wchar_t *path, size_t capacity);

// Converts everything before the last backslash to its short (8.3) form.
void shorten_directory_part(wchar_t *path, size_t capacity);

// The module file name, resolved (final path, short directory part) or
// plain (as the system reports it). Computed once; the buffer stays valid.
const wchar_t *get_own_executable_path(bool resolved);

// Replaces `directory` (payload_path_capacity code units) with its full path.
void normalize_target_directory(wchar_t *directory);
