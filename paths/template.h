// Path templates: text with {NAME} placeholders for run-time values.
//
//   {TEMP} {HOME} {CACHE_DIR}           system folders, trailing backslashes trimmed
//   {PROGRAM} {PROGRAM_BASE} {PROGRAM_DIR}  from argument 0 as typed
//   {PID}                                VELSOR_ONEFILE_PARENT, else this process
//   {RANDOM} {TIME_US} {TIME}            drawn once, then cached in the environment
#pragma once

#include <stddef.h>

// Expands `path_template` into `output` (capacity in code units, terminator
// included). Returns false for an unknown placeholder (a name longer than
// 1023 characters counts as unknown), a '}' outside a placeholder, literal
// text that does not fit, or a failed folder query; the output then holds
// what was produced so far. A placeholder value that does not fit ends the
// process (capacity stop). A placeholder left open at the end is dropped.
bool expand_path_template(wchar_t *output, const wchar_t *path_template, size_t capacity);

// Appends the path of the shell folder `folder_id` (a CSIDL value) at
// `output`; false when the system has no such folder.
bool append_shell_folder(wchar_t *output, int folder_id, size_t remaining);
