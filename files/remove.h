// Removing directory trees that may hold links.
//
// Nothing here ever follows a reparse point (a junction, or a directory or
// file symbolic link): a link is removed as a link, or left where it is
// when the system cannot remove it without reaching what it points to.
// Below its start a removal looks no path up: it goes from directory to
// directory through handles, so renaming a directory on the way, or
// putting a link in its place, cannot lead it anywhere else.
// Nothing here ends the process either: an entry that cannot be handled
// (a file in use, a tree deeper than 256 levels, an entry that changed
// between its listing and its opening) is left, and the result says
// whether everything went. Safe to call on several threads at once.
#pragma once

#include <windows.h>

// Removes `path` and everything below it. A `path` that is itself a link
// is removed as a link. True when `path` no longer exists.
bool remove_tree(const wchar_t *path);

// Removes everything below the directory that `directory` refers to, and
// then that directory itself, through the handle, without looking its path
// up. The handle needs DELETE, FILE_LIST_DIRECTORY, SYNCHRONIZE,
// FILE_READ_ATTRIBUTES and FILE_WRITE_ATTRIBUTES access, and should be
// opened with FILE_FLAG_OPEN_REPARSE_POINT: a handle that refers to a link
// removes the link only. What the handle refers to is the caller's word
// (Wine opens a host link's target in spite of that flag). The caller
// still owns the handle and closes it; the directory goes when the last
// handle to it is closed. True when all of it went.
bool remove_tree_at(HANDLE directory);

