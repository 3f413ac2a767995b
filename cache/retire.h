// Removing cached directories: renamed aside first, so that no run finds
// them under their name while their files go, then removed without ever
// following a link.
#pragma once

// Renames `path` to a fresh "<path>.old-<tag>-<token>" and removes that. False
// when the rename fails: a file inside is still open (on Windows, a
// directory with an open file below it cannot be renamed).
bool cache_set_aside(const wchar_t *path, const wchar_t *tag);

// Retires every directory in `parent` other than `own_name` that is a
// cached directory of `program` (16 hex digits and a record naming the
// program, or a private or set-aside name carrying the program's tag), is
// owned by this user, and that no running instance uses. Never ends the process; an entry it cannot handle
// is left alone.
void cache_retire_siblings(const wchar_t *parent, const wchar_t *own_name, const wchar_t *program);
