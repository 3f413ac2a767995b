// Removing directory trees that may hold links.
//
// Nothing here ever follows a reparse point (a junction, or a directory or
// file symbolic link): a link is removed as a link, or left where it is
// when the system cannot remove it without reaching what it points to.
// Nothing here ends the process either: an entry that cannot be handled
// (a name too long, a file in use, a tree too deep) is skipped, and the
// result says whether everything went. Safe to call on several threads at once.
#pragma once

// Removes `path` and everything below it. A `path` that is itself a link
// is removed as a link. True when `path` no longer exists.
bool remove_tree(const wchar_t *path);

// Removes every link below `path` as a link and leaves everything else.
// True when no link is left below `path` (also when `path` is gone).
bool remove_links_below(const wchar_t *path);
