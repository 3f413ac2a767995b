// The directories of a private directory's files: noted as the files are
// written, then given the record's time and listed in the record.
#pragma once

#include <stdint.h>

#include "cache/record.h"

// Notes the directory that holds the written file `name` (relative) and
// every directory above it; false when no memory is left.
bool stamp_note_file(const wchar_t *name);

// Once every file is written: sets each noted directory's last-write time
// to `time` through the run's own handle and adds its line to `record`.
// False when a time cannot be set (GetLastError says why) or no memory is
// left.
bool stamp_directories(cache_record *record, uint64_t time);
