// Who owns a file or directory, and who else may change it.
//
// The token and descriptor calls here go to ntdll, which every process has
// loaded from its start. ADVAPI32's security calls end in these same
// functions, and loading ADVAPI32 (under Wine with sechost and ucrtbase)
// would cost every start time.
#include "files/owner.h"

#include <stdlib.h>
#include <windows.h>
#include <winternl.h>

/*-**** ntdll's security calls (ntifs.h, wdm.h), which the user-mode headers leave out ****/

extern "C" {
NTSYSAPI NTSTATUS NTAPI NtOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess, PHANDLE TokenHandle);
NTSYSAPI NTSTATUS NTAPI NtQueryInformationToken(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                                PVOID TokenInformation, ULONG TokenInformationLength,
                                                PULONG ReturnLength);
NTSYSAPI NTSTATUS NTAPI NtQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                              PULONG LengthNeeded);
NTSYSAPI NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Owner,
                                                      PBOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN DaclPresent,
                                                     PACL *Dacl, PBOOLEAN DaclDefaulted);
NTSYSAPI BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2);
NTSYSAPI NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID *Ace);
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags, ACCESS_MASK AccessMask,
                                                 PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                                     PACL Dacl, BOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetControlSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                        SECURITY_DESCRIPTOR_CONTROL ControlBitsOfInterest,
                                                        SECURITY_DESCRIPTOR_CONTROL ControlBitsToSet);
}

static const NTSTATUS status_buffer_too_small = (NTSTATUS)0xC0000023;  // STATUS_BUFFER_TOO_SMALL (ntstatus.h)
// A descriptor of an owner and a few entries fits; a larger one, or one
// that grew between two reads, is read again at the size ntdll asks for.
static const ULONG first_query_size = 512;
static const int query_attempts = 4;

static const DWORD query_flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
static const DWORD query_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Every right that changes an entry, its contents, its access or its owner.
static const ACCESS_MASK changing_rights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                           GENERIC_ALL | MAXIMUM_ALLOWED;
static const BYTE inherit_to_all = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
static const SECURITY_DESCRIPTOR_CONTROL dacl_protected = SE_DACL_PROTECTED;

/*-**** Well-known SIDs ****/

// A SID of at most two sub-authorities, laid out as SID is.
struct short_sid {
    BYTE revision;
    BYTE sub_authority_count;
    SID_IDENTIFIER_AUTHORITY authority;
    DWORD sub_authorities[2];
};

static const short_sid local_system = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID, 0}};
static const short_sid administrators = {
    SID_REVISION, 2, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

// S-1-5-18 and S-1-5-32-544, as the calls that read SIDs take them.
static PSID system_sid(void) { return (PSID)&local_system; }
static PSID administrators_sid(void) { return (PSID)&administrators; }

/*-**** Growing queries ****/

// NtQuerySecurityObject and NtQueryInformationToken under one shape.
typedef NTSTATUS (*nt_query)(HANDLE handle, ULONG what, void *buffer, ULONG size, ULONG *needed);

static NTSTATUS query_security(HANDLE entry, ULONG what, void *buffer, ULONG size, ULONG *needed) {
    return NtQuerySecurityObject(entry, what, buffer, size, needed);
}

static NTSTATUS query_token(HANDLE token, ULONG what, void *buffer, ULONG size, ULONG *needed) {
    return NtQueryInformationToken(token, (TOKEN_INFORMATION_CLASS)what, buffer, size, needed);
}

// What `query` reads about `handle`, in a buffer from malloc that grows to
// the size the query asks for; the caller frees it. NULL when the query
// fails for another reason or memory runs out.
static void *query_grown(nt_query query, HANDLE handle, ULONG what) {
    ULONG size = first_query_size;
    for (int attempt = 0; attempt < query_attempts; attempt++) {
        void *buffer = malloc(size);
        if (buffer == NULL) {
            return NULL;
        }
        ULONG needed = 0;
        NTSTATUS status = query(handle, what, buffer, size, &needed);
        if (NT_SUCCESS(status)) {
            return buffer;
        }
        free(buffer);
        if (status != status_buffer_too_small || needed <= size) {
            return NULL;
        }
        size = needed;
    }
    return NULL;
}

/*-**** The process's token ****/

// The process token's information of class `what` (from malloc, the caller
// frees it); NULL when it cannot be read.
static void *query_process_token(TOKEN_INFORMATION_CLASS what) {
    HANDLE token = NULL;
    if (!NT_SUCCESS(NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))) {
        return NULL;
    }
    void *information = query_grown(query_token, token, what);
    NtClose(token);
    return information;
}

// The token's user, read once for the many entries a check reads and kept
// for the process's life.
static PSID token_user(void) {
    static TOKEN_USER *user;
    if (user == NULL) {
        user = (TOKEN_USER *)query_process_token(TokenUser);
    }
    return user != NULL ? user->User.Sid : NULL;
}

// True when the token holds Administrators as an enabled group; a filtered
// (not elevated) token holds it for denying only.
static bool administrators_enabled(void) {
    TOKEN_GROUPS *groups = (TOKEN_GROUPS *)query_process_token(TokenGroups);
    bool enabled = false;
    for (DWORD i = 0; groups != NULL && i < groups->GroupCount; i++) {
        const SID_AND_ATTRIBUTES *group = &groups->Groups[i];
        if (RtlEqualSid(group->Sid, administrators_sid())) {
            enabled = (group->Attributes & SE_GROUP_ENABLED) != 0 &&
                      (group->Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
        }
    }
    free(groups);
    return enabled;
}

// True when `owner` is who this process runs as: its user (SYSTEM when it
// runs as SYSTEM), or Administrators while that group is enabled in it.
static bool is_current_user(PSID owner, PSID user) {
    return RtlEqualSid(owner, user) || (RtlEqualSid(owner, administrators_sid()) && administrators_enabled());
}

/*-**** Descriptors ****/

// The parts `what` of the descriptor of the entry `entry` refers to (opened
// with READ_CONTROL), self-relative, from malloc; NULL when unreadable.
static PSECURITY_DESCRIPTOR read_held_security(HANDLE entry, SECURITY_INFORMATION what) {
    return (PSECURITY_DESCRIPTOR)query_grown(query_security, entry, what);
}

// The same for the entry at `path`, a link itself, opened for this read.
static PSECURITY_DESCRIPTOR read_security(const wchar_t *path, SECURITY_INFORMATION what) {
    HANDLE entry = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ READ_CONTROL,
        /* dwShareMode           */ query_share,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ query_flags,
        /* hTemplateFile         */ NULL);
    if (entry == INVALID_HANDLE_VALUE) {
        return NULL;
    }
    PSECURITY_DESCRIPTOR descriptor = read_held_security(entry, what);
    CloseHandle(entry);
    return descriptor;
}

// The owner of a descriptor that was read with it; NULL when it has none.
static PSID owner_of(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = NULL;
    BOOLEAN defaulted = FALSE;
    return NT_SUCCESS(RtlGetOwnerSecurityDescriptor(descriptor, &owner, &defaulted)) ? owner : NULL;
}

// The access list of a descriptor that was read with it; NULL when it has
// none, or has the null list that lets everyone do anything.
static PACL dacl_of(PSECURITY_DESCRIPTOR descriptor) {
    BOOLEAN present = FALSE;
    BOOLEAN defaulted = FALSE;
    PACL dacl = NULL;
    NTSTATUS status = RtlGetDaclSecurityDescriptor(descriptor, &present, &dacl, &defaulted);
    return NT_SUCCESS(status) && present ? dacl : NULL;
}

bool owned_by_current_user(const wchar_t *path) {
    PSID user = token_user();
    PSECURITY_DESCRIPTOR descriptor = user != NULL ? read_security(path, OWNER_SECURITY_INFORMATION) : NULL;
    PSID owner = descriptor != NULL ? owner_of(descriptor) : NULL;
    bool ours = owner != NULL && is_current_user(owner, user);
    free(descriptor);
    return ours;
}

/*-**** Access lists ****/

// The user, SYSTEM and Administrators: those an owner-only list admits.
static bool is_owner_side(PSID sid, PSID user) {
    return RtlEqualSid(sid, user) || RtlEqualSid(sid, system_sid()) || RtlEqualSid(sid, administrators_sid());
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
    for (ULONG i = 0; i < dacl->AceCount; i++) {
        void *ace = NULL;
        if (!NT_SUCCESS(RtlGetAce(dacl, i, &ace)) || grants_foreign_change((const ACE_HEADER *)ace, user)) {
            return false;
        }
    }
    return true;
}

bool only_owner_can_write(const wchar_t *path) {
    PSID user = token_user();
    PSECURITY_DESCRIPTOR descriptor = user != NULL ? read_security(path, DACL_SECURITY_INFORMATION) : NULL;
    bool private_entry = descriptor != NULL && acl_admits_only_owner_side(dacl_of(descriptor), user);
    free(descriptor);
    return private_entry;
}

/*-**** Both at once ****/

static const SECURITY_INFORMATION owner_and_dacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The owner and access-list test of a descriptor read with both (NULL:
// unreadable); `owned`, when given, decides ownership instead.
static bool descriptor_owned_and_private(PSECURITY_DESCRIPTOR descriptor, const wchar_t *path, owner_check owned) {
    PSID user = token_user();
    if (descriptor == NULL || user == NULL || !acl_admits_only_owner_side(dacl_of(descriptor), user)) {
        return false;
    }
    if (owned != NULL) {
        return owned(path);
    }
    PSID owner = owner_of(descriptor);
    return owner != NULL && is_current_user(owner, user);
}

bool owned_and_private(const wchar_t *path, owner_check owned) {
    PSECURITY_DESCRIPTOR descriptor = read_security(path, owner_and_dacl);
    bool good = descriptor_owned_and_private(descriptor, path, owned);
    free(descriptor);
    return good;
}

bool held_owned_and_private(HANDLE entry, const wchar_t *path, owner_check owned) {
    PSECURITY_DESCRIPTOR descriptor = read_held_security(entry, owner_and_dacl);
    bool good = descriptor_owned_and_private(descriptor, path, owned);
    free(descriptor);
    return good;
}

/*-**** Owner-only descriptor ****/

static bool allow_all(PACL acl, PSID sid) {
    return NT_SUCCESS(RtlAddAccessAllowedAceEx(acl, ACL_REVISION, inherit_to_all, FILE_ALL_ACCESS, sid));
}

// The list of `size` bytes at `acl`: full access for the user, SYSTEM and
// Administrators, inherited by everything below.
static bool build_owner_only_acl(PACL acl, ULONG size, PSID user) {
    return NT_SUCCESS(RtlCreateAcl(acl, size, ACL_REVISION)) && allow_all(acl, user) && allow_all(acl, system_sid()) &&
           allow_all(acl, administrators_sid());
}

// An absolute descriptor holding `acl`, protected from what its parent
// would pass down.
static bool build_protected_descriptor(SECURITY_DESCRIPTOR *descriptor, PACL acl) {
    return NT_SUCCESS(RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) &&
           NT_SUCCESS(RtlSetDaclSecurityDescriptor(descriptor, TRUE, acl, FALSE)) &&
           NT_SUCCESS(RtlSetControlSecurityDescriptor(descriptor, dacl_protected, dacl_protected));
}

// The explicit user SID, not CREATOR OWNER: Wine drops that one, and an
// explicit SID means the same on every system.
bool make_owner_only_security(owner_only_security *security) {
    PSID user = token_user();
    PACL acl = (PACL)security->acl;
    bool built = user != NULL && build_owner_only_acl(acl, sizeof security->acl, user) &&
                 build_protected_descriptor(&security->descriptor, acl);
    security->attributes.nLength = sizeof security->attributes;
    security->attributes.lpSecurityDescriptor = &security->descriptor;
    security->attributes.bInheritHandle = FALSE;
    return built;
}
