// Whether a cached directory may be used: only a directory that provably
// came from this user's own publication of this program is, and what is
// checked is what the run then uses.
#pragma once

#include <windows.h>

#include "cache/record.h"
#include "files/owner.h"

// The whole record file of `directory` as 0-terminated text, or null. The
// caller frees it.
wchar_t *cache_read_record(const wchar_t *directory);

// True when `directory` and its record are private entries (not links,
// accepted by `owned` -- null: owned by the current user, as
// owned_by_current_user says -- and changeable by no one but the user,
// SYSTEM or Administrators), the record is whole and names `program`, and
// every file it lists is as it was written, in private directories: the
// files the loader maps (.dll, .exe, .pyd, .node, .ocx) private themselves and with their
// recorded size and last-write time, each other file either in a directory
// whose last-write time is the recorded one (no entry added, removed or
// renamed since) or, when that time moved on, with its recorded size and
// time in the directory's listing.
//
// Everything is checked through handles opened relative to the directory's
// own: the directory, each directory on the way to a listed file and each
// file the loader maps. Unless only looking, a trusted directory's handles stay
// held for the rest of the process, without delete or write sharing, so
// nobody can rename, replace or change what was checked while the program
// loads from it; otherwise, and whenever the check fails, they are closed.
//
// A record marked unflushed is trusted only in the boot it names. With
// trust_hold_and_flush, each listed file is then flushed before it is
// checked, and when every one was, the fresh record below drops the mark.
enum trust_use { trust_only_look, trust_and_hold, trust_hold_and_flush };
bool cache_directory_trusted(const wchar_t *directory, const wchar_t *program, owner_check owned, trust_use use);

// The held .velsor directory of the directory the last holding check
// trusted.
HANDLE cache_held_velsor_directory(void);

// The full path of the first file that the record of the directory the last
// holding check trusted lists: the application DLL. Empty before.
const wchar_t *cache_held_application_dll(void);

// The record of the directory the last holding check trusted, again with
// the directories' times of now, when a directory's time had moved on (its
// files as recorded) or its unflushed files are now all flushed; null when
// the record is up to date.
const cache_record *cache_held_fresh_record(void);
