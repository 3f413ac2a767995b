// File extraction: the archive's entry records written below the target directory.
#pragma once

#include <stddef.h>

enum extract_role { extract_as_parent, extract_as_child };

// Parent: writes every entry record to its file and returns at the
// terminator record. Child: returns right after the first entry's name.
// Either way the application DLL path is then set (empty only for an
// archive without entries).
void extract_entries(extract_role role);

// Full path of the first entry, the application DLL.
const wchar_t *application_dll_path(void);

// The file being created; the open-for-writing message reports it.
const wchar_t *current_output_path(void);

// Makes sure the directory holding `path` exists.
bool ensure_parent_directories(const wchar_t *path);

// Makes sure one directory exists, remembering those already seen.
bool ensure_directory(const wchar_t *path);
