// File extraction: the archive's entry records written below the target directory.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

enum extract_role { extract_as_parent, extract_as_child };

// Told about each file the parent has written, while its handle (opened
// for writing) is still open: its name below the directory and its size.
typedef void (*extract_file_hook)(HANDLE file, const wchar_t *name, uint64_t size);

// Parent: writes every entry record to its file below `directory` (which
// create_new_directory made) and returns at the terminator record. Every
// directory and file is created new, relative to the handle of the
// directory above it; one that exists already and that this run did not
// create stops the run with the unpack error. A later record with the name
// of a file this run wrote replaces that file. Child: returns right after the first
// entry's name. Either way the application DLL path is then set, below
// `directory` (empty only for an archive without entries). `hook` may be
// null.
void extract_entries(extract_role role, const wchar_t *directory, extract_file_hook hook);

// Creates `directory` (its parents as needed) with `security` (null: the
// default), which must not exist yet, and holds it for extraction: a
// directory that already exists may hold what someone else put there, so
// the run stops with a fatal error before writing anything. Another failure
// is reported at the first file, which then cannot be written.
void create_new_directory(const wchar_t *directory, LPSECURITY_ATTRIBUTES security);

// The handle of the run's directory `relative` below the one
// create_new_directory made (null: that one), created new the first time
// as extraction creates its directories. Valid until
// release_extraction_directories().
HANDLE extraction_directory(const wchar_t *relative);

// Closes the handles of the run's directories: before the directory is
// removed, renamed or run from.
void release_extraction_directories(void);

// Full path of the first entry, the application DLL.
const wchar_t *application_dll_path(void);

// Makes sure the directory holding `path` exists.
bool ensure_parent_directories(const wchar_t *path);

// Makes sure one directory exists, remembering those already seen.
bool ensure_directory(const wchar_t *path);
