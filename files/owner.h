// Who owns a file or directory, and who else may change it.
#pragma once

#include <windows.h>

// True when the entry at `path` (a link itself, never what it points to) is
// owned by the user this process runs as, or by SYSTEM or the
// Administrators group when the process runs as one of them: files that an
// elevated administrator creates belong to the group, not to the user.
bool owned_by_current_user(const wchar_t *path);

// The shape of owned_by_current_user, so that a caller can be given another
// check (tests decide ownership themselves, since Wine shows every file as
// the current user's).
typedef bool (*owner_check)(const wchar_t *path);

// True when no access entry of the entry at `path` (a link itself) lets
// anyone but the current user, SYSTEM or Administrators write to it, change
// its access or owner, or delete it. A missing access list (everyone may do
// anything) or one that cannot be read gives false.
bool only_owner_can_write(const wchar_t *path);

// owned_by_current_user and only_owner_can_write together, through one
// handle and one read of the descriptor (checks of many files call this).
// With `owned` given, that check decides ownership instead.
bool owned_and_private(const wchar_t *path, owner_check owned);

// The same for the entry `entry` refers to (opened with READ_CONTROL): the
// descriptor is read through the handle. `path` names it for `owned` only.
bool held_owned_and_private(HANDLE entry, const wchar_t *path, owner_check owned);

// A protected security descriptor whose access list grants full access to
// the current user (by explicit SID), SYSTEM and Administrators, inherited
// by everything created below, and to no one else.
struct owner_only_security {
    SECURITY_ATTRIBUTES attributes;  // what CreateDirectoryW takes
    SECURITY_DESCRIPTOR descriptor;
    DWORD acl[128];  // the access list, DWORD-aligned as ACLs must be
};

// Fills `security`; false when the user's SID cannot be read.
bool make_owner_only_security(owner_only_security *security);
