// An in-memory stand-in for the Win32 file calls of the entry walk: a set of
// directories and files below one drive, checked the way Windows checks
// them (a parent must exist, some characters are not allowed in names).
#pragma once

#include <stddef.h>
#include <stdint.h>

// Forgets everything; afterwards the drive and every directory above `target`
// exist (the temporary folder, as on a real system), `target` itself does not.
void reset_files(const wchar_t *target);

size_t files_opened(void);
size_t directories_made(void);
uint64_t bytes_written(void);
size_t open_handles(void);
