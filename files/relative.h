// Creating and opening entries through handles the run holds.
//
// A directory is created and opened in one step, so that what the run then
// writes into it lands in the directory it created, whatever happens to the
// path meanwhile; each entry below it is created relative to its parent's
// handle, never by a path looked up again. The handles refuse delete
// sharing: while the run holds them, nobody can rename or delete the
// directories (Wine lets a parent be renamed all the same). Each function
// returns INVALID_HANDLE_VALUE on failure with the system's error in
// GetLastError: ERROR_ALREADY_EXISTS when the name is taken.
#pragma once

#include <stdint.h>
#include <windows.h>

// The directory at `path` (a full path), which must not exist yet, created
// with `security` (null: the default) and opened to add entries.
HANDLE create_directory_new(const wchar_t *path, LPSECURITY_ATTRIBUTES security);

// The directory `name` (one part, `length` code units) in `parent`, which
// must not exist yet, with `security` (null: what it inherits).
HANDLE create_directory_at(HANDLE parent, const wchar_t *name, size_t length, LPSECURITY_ATTRIBUTES security);

// The file `name` (one part) in `directory`, opened for writing: a new one,
// or with `replace` the one of that name, emptied (a name this run wrote
// before, which a later record replaces). `security` as above. Wine does not
// apply a directory's inheritable access list to what is created below it
// this way, so a caller that needs one passes it.
HANDLE create_file_at(HANDLE directory, const wchar_t *name, bool replace, LPSECURITY_ATTRIBUTES security);

// Opens the existing directory at `path` (a full path) itself, never what a
// link there points to, for listing, for opening entries below it and for
// reading its descriptor, without delete sharing: while the handle is held,
// the directory cannot be renamed or removed. A link or a file there gives
// INVALID_HANDLE_VALUE with ERROR_DIRECTORY.
HANDLE hold_directory(const wchar_t *path);

// The same for the directory `name` (one part, `length` code units) in
// `parent`.
HANDLE hold_directory_at(HANDLE parent, const wchar_t *name, size_t length);

// Opens the existing file `name` in `directory` itself (never a link's
// target) to read it and its descriptor, sharing reading only: while the
// handle is held, nobody writes, renames or deletes it. A link or a
// directory gives INVALID_HANDLE_VALUE.
HANDLE hold_file_at(HANDLE directory, const wchar_t *name, size_t length);

// Opens (creating it if need be) the file `name` in `directory` for reading
// with `share`, never through a link.
HANDLE open_file_at(HANDLE directory, const wchar_t *name, DWORD share);

// Flushes the existing file `name` (one part, `length` code units) in
// `directory` to disk: opened for writing, never through a link, sharing
// everything, and closed again. False when it cannot be opened (say, a
// program has it mapped) or flushed.
bool flush_file_at(HANDLE directory, const wchar_t *name, size_t length);

// What a check compares of a file: its size, last-write time and attributes.
struct entry_facts {
    uint64_t size;
    uint64_t write_time;
    DWORD attributes;
};
