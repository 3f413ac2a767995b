// Who owns a file or directory, and who else may change it.
#include "files/owner.h"

#include <aclapi.h>
#include <windows.h>

static const DWORD query_flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
static const DWORD query_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Every right that changes an entry, its contents, its access or its owner.
static const ACCESS_MASK changing_rights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                           GENERIC_ALL | MAXIMUM_ALLOWED;
static const BYTE inherit_to_all = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

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

// Reads the parts of the security descriptor of the entry at `path` (a
// link itself) that `what` names; the caller frees *descriptor with
// LocalFree. False when the entry cannot be opened or read.
static bool read_security(const wchar_t *path, SECURITY_INFORMATION what, PSID *owner, PACL *dacl,
                          PSECURITY_DESCRIPTOR *descriptor) {
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
    *descriptor = NULL;
    DWORD status = GetSecurityInfo(entry, SE_FILE_OBJECT, what, owner, NULL, dacl, NULL, descriptor);
    CloseHandle(entry);
    return status == ERROR_SUCCESS;
}

bool owned_by_current_user(const wchar_t *path) {
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    bool ours = read_security(path, OWNER_SECURITY_INFORMATION, &owner, NULL, &descriptor) && owner != NULL &&
                is_current_user(owner);
    LocalFree(descriptor);
    return ours;
}

/*-**** Access lists ****/

// The user, SYSTEM and Administrators: those an owner-only list admits.
static bool is_owner_side(PSID sid, PSID user) {
    return EqualSid(sid, user) || IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// True when the entry `ace` lets someone outside the owner side change the
// entry. Deny entries grant nothing; allow entries of a kind whose SID is
// not read here count as foreign whenever they grant a changing right.
static bool grants_foreign_change(const ACE_HEADER *ace, PSID user) {
    switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
        const ACCESS_ALLOWED_ACE *allowed = (const ACCESS_ALLOWED_ACE *)ace;
        return (allowed->Mask & changing_rights) != 0 && !is_owner_side((PSID)&allowed->SidStart, user);
    }
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        return false;
    default:
        return (((const ACCESS_ALLOWED_ACE *)ace)->Mask & changing_rights) != 0;
    }
}

static bool acl_admits_only_owner_side(PACL dacl, PSID user) {
    if (dacl == NULL) {
        return false;  // no list: everyone may do anything
    }
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        void *ace = NULL;
        if (!GetAce(dacl, i, &ace) || grants_foreign_change((const ACE_HEADER *)ace, user)) {
            return false;
        }
    }
    return true;
}

bool only_owner_can_write(const wchar_t *path) {
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    if (!read_token_user(user, sizeof user)) {
        return false;
    }
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    bool private_entry = read_security(path, DACL_SECURITY_INFORMATION, NULL, &dacl, &descriptor) &&
                         acl_admits_only_owner_side(dacl, ((TOKEN_USER *)user)->User.Sid);
    LocalFree(descriptor);
    return private_entry;
}

/*-**** Both at once ****/

// The token's user, read once for the many entries a check reads.
static PSID cached_token_user(void) {
    static BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    static bool read;
    if (!read) {
        read = read_token_user(user, sizeof user);
    }
    return read ? ((TOKEN_USER *)user)->User.Sid : NULL;
}

// The owner and access-list test of an entry whose descriptor was read.
static bool descriptor_owned_and_private(PSID owner, PACL dacl, const wchar_t *path, owner_check owned) {
    PSID user = cached_token_user();
    return user != NULL && acl_admits_only_owner_side(dacl, user) &&
           (owned != NULL ? owned(path) : owner != NULL && (EqualSid(owner, user) || process_runs_as(owner)));
}

bool owned_and_private(const wchar_t *path, owner_check owned) {
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    bool good = read_security(path, what, &owner, &dacl, &descriptor) &&
                descriptor_owned_and_private(owner, dacl, path, owned);
    LocalFree(descriptor);
    return good;
}

bool held_owned_and_private(HANDLE entry, const wchar_t *path, owner_check owned) {
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    bool good = GetSecurityInfo(entry, SE_FILE_OBJECT, what, &owner, NULL, &dacl, NULL, &descriptor) ==
                    ERROR_SUCCESS &&
                descriptor_owned_and_private(owner, dacl, path, owned);
    LocalFree(descriptor);
    return good;
}

/*-**** Owner-only descriptor ****/

static bool allow_all(PACL acl, PSID sid) {
    return AddAccessAllowedAceEx(acl, ACL_REVISION, inherit_to_all, FILE_ALL_ACCESS, sid) != FALSE;
}

// The explicit user SID, not CREATOR OWNER: Wine drops that one, and an
// explicit SID means the same on every system.
bool make_owner_only_security(owner_only_security *security) {
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system, administrators_size = sizeof administrators;
    PACL acl = (PACL)security->acl;
    bool built = read_token_user(user, sizeof user) &&
                 CreateWellKnownSid(WinLocalSystemSid, NULL, system, &system_size) &&
                 CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &administrators_size) &&
                 InitializeAcl(acl, sizeof security->acl, ACL_REVISION) &&
                 allow_all(acl, ((TOKEN_USER *)user)->User.Sid) && allow_all(acl, system) &&
                 allow_all(acl, administrators) &&
                 InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                 SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE) &&
                 SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    security->attributes.nLength = sizeof security->attributes;
    security->attributes.lpSecurityDescriptor = &security->descriptor;
    security->attributes.bInheritHandle = FALSE;
    return built;
}
