// Flushing an existing file found through a held directory.
#include "files/relative.h"

#include <winternl.h>

// NtCreateFile's disposition and options (ntifs.h), which the user-mode
// headers leave out.
static const ULONG disposition_open = 1;  // FILE_OPEN: the name must exist
static const ULONG option_synchronous = 0x00000020;
static const ULONG option_not_directory = 0x00000040;
static const ULONG option_open_reparse_point = 0x00200000;
static const ULONG case_insensitive = 0x00000040;  // OBJ_CASE_INSENSITIVE
static const ULONG flush_access = FILE_WRITE_DATA | SYNCHRONIZE;
static const ULONG flush_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
static const size_t longest_name = 32767;

bool flush_file_at(HANDLE directory, const wchar_t *name, size_t length) {
    if (length > longest_name) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    UNICODE_STRING text = {(USHORT)(length * sizeof(wchar_t)), (USHORT)(length * sizeof(wchar_t)), (PWSTR)name};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, case_insensitive, directory, NULL);
    IO_STATUS_BLOCK io = {};
    HANDLE file = NULL;
    NTSTATUS status = NtCreateFile(
        /* FileHandle        */ &file,
        /* DesiredAccess     */ flush_access,
        /* ObjectAttributes  */ &object,
        /* IoStatusBlock     */ &io,
        /* AllocationSize    */ NULL,
        /* FileAttributes    */ FILE_ATTRIBUTE_NORMAL,
        /* ShareAccess       */ flush_share,
        /* CreateDisposition */ disposition_open,
        /* CreateOptions     */ option_not_directory | option_synchronous | option_open_reparse_point,
        /* EaBuffer          */ NULL,
        /* EaLength          */ 0);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return false;
    }
    BOOL flushed = FlushFileBuffers(file);
    DWORD code = GetLastError();
    CloseHandle(file);
    SetLastError(code);
    return flushed != FALSE;
}
