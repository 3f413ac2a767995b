// Creating and opening entries through handles the run holds.
#include "files/relative.h"

#include <wchar.h>
#include <winternl.h>

// NtCreateFile's dispositions and options (ntifs.h), which the user-mode
// headers leave out.
static const ULONG disposition_open = 1;       // FILE_OPEN: the name must exist
static const ULONG disposition_create = 2;     // FILE_CREATE: fails when the name exists
static const ULONG disposition_open_if = 3;    // FILE_OPEN_IF: opened, or created when absent
static const ULONG disposition_overwrite = 4;  // FILE_OVERWRITE: the name must exist
static const ULONG option_directory = 0x00000001;
static const ULONG option_synchronous = 0x00000020;
static const ULONG option_not_directory = 0x00000040;
static const ULONG option_open_reparse_point = 0x00200000;
static const ULONG case_insensitive = 0x00000040;  // OBJ_CASE_INSENSITIVE
static const ULONG directory_access =
    FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
static const ULONG file_access = GENERIC_WRITE | SYNCHRONIZE;
static const ULONG share_no_delete = FILE_SHARE_READ | FILE_SHARE_WRITE;
static const ULONG held_directory_access =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
static const ULONG held_file_access = GENERIC_READ | SYNCHRONIZE;
static const size_t longest_name = 32767;  // a UNICODE_STRING holds at most this much


// One NtCreateFile below `root` (null: `name` is a whole NT path).
static HANDLE nt_create(HANDLE root, const wchar_t *name, size_t length, ULONG access, ULONG share,
                        ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security) {
    if (length > longest_name) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING text = {(USHORT)(length * sizeof(wchar_t)), (USHORT)(length * sizeof(wchar_t)), (PWSTR)name};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, case_insensitive, root, security);
    IO_STATUS_BLOCK io = {};
    HANDLE handle = NULL;
    NTSTATUS status = NtCreateFile(
        /* FileHandle        */ &handle,
        /* DesiredAccess     */ access,
        /* ObjectAttributes  */ &object,
        /* IoStatusBlock     */ &io,
        /* AllocationSize    */ NULL,
        /* FileAttributes    */ FILE_ATTRIBUTE_NORMAL,
        /* ShareAccess       */ share,
        /* CreateDisposition */ disposition,
        /* CreateOptions     */ options | option_synchronous | option_open_reparse_point,
        /* EaBuffer          */ NULL,
        /* EaLength          */ 0);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// "\??\" before a drive path, "\??\UNC\" for \\server\share; a path that is
// already \\?\-prefixed keeps the rest as it is.
static bool nt_path(const wchar_t *path, wchar_t *out, size_t capacity, size_t *length) {
    const wchar_t *prefix = L"\\??\\";
    const wchar_t *rest = path;
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        rest = path + 4;
    } else if (wcsncmp(path, L"\\\\", 2) == 0) {
        prefix = L"\\??\\UNC\\";
        rest = path + 2;
    }
    int n = _snwprintf(out, capacity, L"%ls%ls", prefix, rest);
    if (n < 0 || (size_t)n >= capacity) {
        return false;
    }
    *length = (size_t)n;
    return true;
}

static PSECURITY_DESCRIPTOR descriptor_of(LPSECURITY_ATTRIBUTES security) {
    return security != NULL ? security->lpSecurityDescriptor : NULL;
}

HANDLE create_directory_new(const wchar_t *path, LPSECURITY_ATTRIBUTES security) {
    static wchar_t whole[longest_name + 1];  // long; one caller at a time, the main thread
    size_t length = 0;
    if (!nt_path(path, whole, longest_name + 1, &length)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    return nt_create(NULL, whole, length, directory_access, share_no_delete, disposition_create, option_directory,
                     descriptor_of(security));
}

HANDLE create_directory_at(HANDLE parent, const wchar_t *name, size_t length, LPSECURITY_ATTRIBUTES security) {
    return nt_create(parent, name, length, directory_access, share_no_delete, disposition_create, option_directory,
                     descriptor_of(security));
}

HANDLE create_file_at(HANDLE directory, const wchar_t *name, bool replace, LPSECURITY_ATTRIBUTES security) {
    return nt_create(directory, name, wcslen(name), file_access, FILE_SHARE_WRITE,
                     replace ? disposition_overwrite : disposition_create, option_not_directory,
                     descriptor_of(security));
}

/*-**** Holding what exists ****/

// True when the handle refers to an entry of the wanted kind that is not a
// link (a reparse point opened as itself).
static bool holds_plain(HANDLE handle, bool directory) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        return false;
    }
    bool is_directory = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && is_directory == directory;
}

static HANDLE keep_if_plain(HANDLE handle, bool directory) {
    if (handle != INVALID_HANDLE_VALUE && !holds_plain(handle, directory)) {
        CloseHandle(handle);
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// What the directory's listing says of the entry at `path`: Wine opens the
// target of a host link even when asked for the link itself, and only its
// parent's listing still shows the link. Held first and looked at second,
// the entry cannot have changed in between.
static bool listed_as_link(const wchar_t *path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return true;  // not listed as what was opened: take it for the worst
    }
    FindClose(search);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

HANDLE hold_directory(const wchar_t *path) {
    HANDLE handle = CreateFileW(
        /* lpFileName            */ path,
        /* dwDesiredAccess       */ held_directory_access,
        /* dwShareMode           */ share_no_delete,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
        /* hTemplateFile         */ NULL);
    handle = keep_if_plain(handle, true);
    if (handle != INVALID_HANDLE_VALUE && listed_as_link(path)) {
        CloseHandle(handle);
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

HANDLE hold_directory_at(HANDLE parent, const wchar_t *name, size_t length) {
    HANDLE handle = nt_create(parent, name, length, held_directory_access, share_no_delete, disposition_open,
                              option_directory, NULL);
    return keep_if_plain(handle, true);
}

HANDLE hold_file_at(HANDLE directory, const wchar_t *name, size_t length) {
    HANDLE handle = nt_create(directory, name, length, held_file_access, FILE_SHARE_READ, disposition_open,
                              option_not_directory, NULL);
    return keep_if_plain(handle, false);
}

HANDLE open_file_at(HANDLE directory, const wchar_t *name, DWORD share) {
    return nt_create(directory, name, wcslen(name), held_file_access, share, disposition_open_if,
                     option_not_directory, NULL);
}
