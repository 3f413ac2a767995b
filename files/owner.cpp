// Who owns a file or directory.
#include "files/owner.h"

#include <aclapi.h>
#include <windows.h>

static const DWORD query_flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
static const DWORD query_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The token's user SID in `buffer`; false when it cannot be read.
static bool read_token_user(BYTE *buffer, DWORD size) {
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD needed = 0;
    BOOL read = GetTokenInformation(token, TokenUser, buffer, size, &needed);
    CloseHandle(token);
    return read != FALSE;
}

// True when `sid` is a well-known group or account that this process
// itself runs as (SYSTEM as its user, Administrators as an enabled group).
static bool process_runs_as(PSID sid) {
    if (IsWellKnownSid(sid, WinLocalSystemSid)) {
        BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        return read_token_user(user, sizeof user) && EqualSid(((TOKEN_USER *)user)->User.Sid, sid);
    }
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
        BOOL member = FALSE;
        return CheckTokenMembership(NULL, sid, &member) && member;
    }
    return false;
}

static bool is_current_user(PSID owner) {
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    if (!read_token_user(user, sizeof user)) {
        return false;
    }
    return EqualSid(((TOKEN_USER *)user)->User.Sid, owner) || process_runs_as(owner);
}

bool owned_by_current_user(const wchar_t *path) {
    HANDLE entry = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ READ_CONTROL,
        /* dwShareMode           */ query_share,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ query_flags,
        /* hTemplateFile         */ NULL);
    if (entry == INVALID_HANDLE_VALUE) {
        return false;
    }
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    DWORD status = GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL,
                                   &descriptor);
    CloseHandle(entry);
    bool ours = status == ERROR_SUCCESS && owner != NULL && is_current_user(owner);
    LocalFree(descriptor);
    return ours;
}
