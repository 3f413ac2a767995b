// Who owns a file or directory.
#pragma once

// True when the entry at `path` (a link itself, never what it points to) is
// owned by the user this process runs as, or by SYSTEM or the
// Administrators group when the process runs as one of them: files that an
// elevated administrator creates belong to the group, not to the user.
bool owned_by_current_user(const wchar_t *path);
