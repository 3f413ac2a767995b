// Environment variables: the launcher's only channel from parent to child.
//
// Names are short ASCII constants; values are wide strings. A read returns a
// heap copy that the caller owns (never freed by the launcher), or null when
// the variable is missing, empty or longer than 32,767 characters.
#pragma once

#include <stddef.h>
#include <windows.h>

wchar_t *env_get_wide(const wchar_t *name);
wchar_t *env_get(const char *name);
void env_set(const char *name, const wchar_t *value);
void env_unset(const char *name);

// The launcher process of this run, from VELSOR_ONEFILE_PARENT (a decimal
// process ID, as parse_process_id reads it); false when it is absent or not
// a number. The role decision and the runner both read it so.
bool env_parent_process_id(DWORD *process_id);
