// File extraction: the archive's entry records written below the target directory.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

enum extract_role { extract_as_parent, extract_as_child };

// Told about each file the parent has written, while its handle (opened
// for writing) is still open: its name below the directory and its size.
typedef void (*extract_file_hook)(HANDLE file, const wchar_t *name, uint64_t size);

// Parent: writes every entry record to its file below `directory` and
// returns at the terminator record. Child: returns right after the first
// entry's name. Either way the application DLL path is then set, below
// `directory` (empty only for an archive without entries). `hook` may be
// null.
void extract_entries(extract_role role, const wchar_t *directory, extract_file_hook hook);

// Creates `directory` (its parents as needed) with `security` (null: the
// default), which must not exist yet: a directory that already exists may
// hold what someone else put there, so the run stops with a fatal error
// before writing anything. Other failures are left to the first file's
// open, which reports them.
void create_new_directory(const wchar_t *directory, LPSECURITY_ATTRIBUTES security);

// Full path of the first entry, the application DLL.
const wchar_t *application_dll_path(void);

// Makes sure the directory holding `path` exists.
bool ensure_parent_directories(const wchar_t *path);

// Makes sure one directory exists, remembering those already seen.
bool ensure_directory(const wchar_t *path);
