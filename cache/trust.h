// Whether a cached directory may be used: only a directory that provably
// came from this user's own publication of this program is.
#pragma once

#include "files/owner.h"

// True when `path` is a file or directory, not a link, that `owned` accepts
// (null: that belongs to the current user, as owned_by_current_user says)
// and that no one but the user, SYSTEM or Administrators may change.
bool cache_entry_private(const wchar_t *path, owner_check owned);

// The whole record file of `directory` as 0-terminated text, or null. The
// caller frees it.
wchar_t *cache_read_record(const wchar_t *directory);

// True when `directory` and its record are private entries (above, with
// the same `owned`), the record is whole and names `program`, and every
// file it lists is private and still has the size and last-write time
// recorded when it was written.
bool cache_directory_trusted(const wchar_t *directory, const wchar_t *program, owner_check owned);
