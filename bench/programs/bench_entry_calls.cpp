// The cost of each call that the clean-up (files/remove.cpp) makes for one
// file, in the order it makes them: open relative to the directory's
// handle, attribute tag, file ID (GetFileInformationByHandle), the extended
// disposition (refused under Wine), the plain disposition, the close that
// deletes; and, beside them, the two queries GetFileInformationByHandle is
// made of (FileAllInformation, FileFsVolumeInformation) and the file ID
// read alone as FileInternalInformation.
//   bench_entry_calls DIR N
// Creates N one-byte files in DIR (which must exist and be empty), removes
// them so, and prints the mean time of each call per file in milliseconds.
#include <stdio.h>
#include <windows.h>
#include <winternl.h>

static const ULONG open_options = 0x00200000 /* FILE_OPEN_REPARSE_POINT */ | 0x00004000 /* FOR_BACKUP_INTENT */ |
                                  0x00000020 /* SYNCHRONOUS_IO_NONALERT */ | 0x00000040 /* NON_DIRECTORY_FILE */;
static const FILE_INFORMATION_CLASS file_internal_information = (FILE_INFORMATION_CLASS)6;
static const FILE_INFORMATION_CLASS file_all_information = (FILE_INFORMATION_CLASS)18;
static const FS_INFORMATION_CLASS file_fs_volume_information = (FS_INFORMATION_CLASS)1;
static const FILE_INFO_BY_HANDLE_CLASS file_disposition_info_ex = (FILE_INFO_BY_HANDLE_CLASS)21;
enum {
    call_open, call_tag, call_by_handle, call_disposition_ex, call_disposition, call_close,
    call_all, call_volume, call_internal, calls
};
static const char *call_names[calls] = {"NtCreateFile (open)", "FileAttributeTagInfo", "GetFileInformationByHandle",
                                        "FileDispositionInfoEx", "FileDispositionInfo", "CloseHandle (deletes)",
                                        "  of which FileAllInformation", "  of which FileFsVolumeInformation",
                                        "FileInternalInformation (the ID alone)"};


static double now_ms(void) {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static void make_files(const wchar_t *directory, int n) {
    wchar_t path[600];
    for (int i = 0; i < n; i++) {
        swprintf(path, 600, L"%ls\\f%05d", directory, i);
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        DWORD written = 0;
        WriteFile(file, "x", 1, &written, NULL);
        CloseHandle(file);
    }
}

// Removes file `i` of `directory` the clean-up's way, adding each call's time.
static bool remove_one(HANDLE directory, int i, double *spent) {
    wchar_t text[16];
    swprintf(text, 16, L"f%05d", i);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, 0, directory, NULL);
    IO_STATUS_BLOCK io;
    HANDLE file = NULL;
    double t[call_close + 1];  // before each call up to the close, and after the last
    t[0] = now_ms();
    NTSTATUS opened = NtCreateFile(&file, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, &object,
                                   &io, NULL, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                   open_options, NULL, 0);
    t[1] = now_ms();
    if (opened < 0) {
        return false;
    }
    FILE_ATTRIBUTE_TAG_INFO tag;
    GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag);
    t[2] = now_ms();
    BY_HANDLE_FILE_INFORMATION information;
    GetFileInformationByHandle(file, &information);
    t[3] = now_ms();
    DWORD posix_delete = 0x3;
    SetFileInformationByHandle(file, file_disposition_info_ex, &posix_delete, sizeof posix_delete);
    t[4] = now_ms();
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    t[5] = now_ms();
    static BYTE buffer[4096];
    double side[4];
    side[0] = now_ms();
    NtQueryInformationFile(file, &io, buffer, sizeof buffer, file_all_information);
    side[1] = now_ms();
    NtQueryVolumeInformationFile(file, &io, buffer, sizeof buffer, file_fs_volume_information);
    side[2] = now_ms();
    LARGE_INTEGER id;
    NtQueryInformationFile(file, &io, &id, sizeof id, file_internal_information);
    side[3] = now_ms();
    for (int c = call_all; c <= call_internal; c++) {
        spent[c] += side[c - call_all + 1] - side[c - call_all];
    }
    if (id.LowPart != information.nFileIndexLow || (DWORD)id.HighPart != information.nFileIndexHigh) {
        printf("file %d: the two file IDs differ\n", i);
    }
    double close_start = now_ms();
    CloseHandle(file);
    spent[call_close] += now_ms() - close_start;
    for (int c = call_open; c < call_close; c++) {
        spent[c] += t[c + 1] - t[c];
    }
    return true;
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_entry_calls DIR N\n");
        return 2;
    }
    int n = _wtoi(argv[2]);
    make_files(argv[1], n);
    HANDLE directory = CreateFileW(argv[1], FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, NULL);
    double spent[calls] = {};
    for (int i = 0; i < n; i++) {
        if (!remove_one(directory, i, spent)) {
            fprintf(stderr, "bench_entry_calls: cannot open file %d\n", i);
            return 1;
        }
    }
    CloseHandle(directory);
    for (int c = 0; c < calls; c++) {
        printf("%s\t%.3f\n", call_names[c], spent[c] / n);
    }
    return 0;
}
