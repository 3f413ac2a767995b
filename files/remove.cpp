// Removing directory trees without following links.
//
// The walk holds a handle on each directory it is in, from where it starts
// down to where it is. It lists a directory through its handle and opens
// each entry relative to that handle (NtCreateFile with RootDirectory), so
// no path is looked up below the start: a directory renamed, or swapped
// for a link, while the walk is inside it does not move the walk.
//
// An entry may still change between its listing and its opening. The
// opened handle is therefore held against the listing before anything is
// done with it: it must carry the listed file ID, and show no reparse
// point unless it is one itself. Each entry is deleted through that
// handle, never by name. A listed link is never entered: it is deleted
// only through a handle that shows the reparse point, which on Windows is
// the link itself. Wine opens the target of a host's symbolic link in
// spite of FILE_OPEN_REPARSE_POINT, and such a link is left alone.
#include "files/remove.h"

#include <stdlib.h>
#include <wchar.h>
#include <winternl.h>

static const size_t long_path_capacity = 32768;  // the longest path the system accepts
static const int deepest_level = 256;            // directories below a tree's top; deeper ones stay
static const DWORD listing_capacity = 16384;     // bytes of one batch of a directory's listing
static const ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
static const ACCESS_MASK entry_access = DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
static const ACCESS_MASK directory_access = entry_access | FILE_LIST_DIRECTORY;
static const ACCESS_MASK parent_access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
static const ULONG open_options = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
static const FILE_INFORMATION_CLASS file_id_both_directory_information = (FILE_INFORMATION_CLASS)37;
static const NTSTATUS status_no_such_file = (NTSTATUS)0xC000000F;
static const NTSTATUS status_object_name_not_found = (NTSTATUS)0xC0000034;
static const wchar_t name_wildcards[] = L"*?<>\"";  // a name the directory query would read as a pattern

// The extended disposition of Windows 10 (1709 and later). Declared here,
// since the SDK headers hide it behind a version test that a plain
// _WIN32_WINNT of Windows 10 does not pass; older systems and Wine refuse
// the class, and the plain disposition follows.
static const FILE_INFO_BY_HANDLE_CLASS file_disposition_info_ex = (FILE_INFO_BY_HANDLE_CLASS)21;
static const DWORD disposition_delete = 0x1;
static const DWORD disposition_posix_semantics = 0x2;
struct disposition_ex_info {
    DWORD flags;
};

static const FILE_INFORMATION_CLASS file_internal_information = (FILE_INFORMATION_CLASS)6;  // FileInternalInformation

// ntdll's directory query, which the user-mode headers leave out.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);

// One directory the walk is in.
struct level {
    HANDLE directory;
    DWORD attributes;                   // the directory's own, for its deletion
    BYTE *listing;                      // the batch of its listing being worked through
    const FILE_ID_BOTH_DIR_INFO *next;  // the batch's next entry; NULL: read another batch
    bool restart;                       // the next read starts the listing over
    bool more;                          // another batch may follow
    bool clear;                         // everything below that should go went
};

// The walk: its levels from the start (0) down to the innermost (depth).
// Kept on the heap, not on the stack of whichever thread removes.
struct walk {
    bool delete_start;  // the start is the tree's top (not its parent): it goes too
    int deepest;        // the deepest level the walk may go to
    int depth;
    level levels[deepest_level + 2];  // a tree's top may be at level 1, below its parent
};

enum verdict { verdict_leave, verdict_file, verdict_directory, verdict_link };

/*-**** One entry ****/

static bool is_link(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

static bool is_directory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// A read-only file (or, on Windows, directory) cannot be deleted.
static void clear_read_only(HANDLE file, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return;
    }
    FILE_BASIC_INFO basic = {};  // zero times: left as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
}

// Marks the entry that `file` refers to for deletion; it goes when the
// last handle to it closes. POSIX semantics, where the system has them,
// take the name away at once, even while another process holds it open.
static bool delete_by_handle(HANDLE file, DWORD attributes) {
    clear_read_only(file, attributes);
    disposition_ex_info posix = {disposition_delete | disposition_posix_semantics};
    if (SetFileInformationByHandle(file, file_disposition_info_ex, &posix, sizeof posix)) {
        return true;
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Opens the listed entry relative to its directory's handle: a directory
// as a directory and a file as a file, so that the open fails when the
// name has changed kind; a listed link as whatever the name now is.
static NTSTATUS open_entry(HANDLE parent, const FILE_ID_BOTH_DIR_INFO *entry, HANDLE *file) {
    UNICODE_STRING name;
    name.Buffer = (PWSTR)entry->FileName;
    name.Length = (USHORT)entry->FileNameLength;
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, 0, parent, NULL);  // the name exactly as listed
    bool link = is_link(entry->FileAttributes), directory = !link && is_directory(entry->FileAttributes);
    ULONG kind = link ? 0 : directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE;
    IO_STATUS_BLOCK io;
    return NtCreateFile(
        /* FileHandle        */ file,
        /* DesiredAccess     */ directory ? directory_access : entry_access,
        /* ObjectAttributes  */ &object,
        /* IoStatusBlock     */ &io,
        /* AllocationSize    */ NULL,
        /* FileAttributes    */ 0,
        /* ShareAccess       */ share_all,
        /* CreateDisposition */ FILE_OPEN,
        /* CreateOptions     */ open_options | kind,
        /* EaBuffer          */ NULL,
        /* EaLength          */ 0);
}

// A file system that lists no file ID (0, or -1 where its IDs do not fit
// in 64 bits) leaves the reparse point as the only check, which suffices
// on Windows: there a handle opened on a link shows it.
static bool has_file_id(HANDLE file, LARGE_INTEGER id) {
    if (id.QuadPart == 0 || id.QuadPart == -1) {
        return true;
    }
    // The ID alone (FileInternalInformation): GetFileInformationByHandle
    // also asks for the volume's serial number, which costs Wine a call to
    // another process for every entry.
    LARGE_INTEGER own = {};
    IO_STATUS_BLOCK io = {};
    NTSTATUS status = NtQueryInformationFile(file, &io, &own, sizeof own, file_internal_information);
    return NT_SUCCESS(status) && own.QuadPart == id.QuadPart;
}

// What the opened entry is, held against its listing; `attributes` gets
// the handle's own. A handle that shows a reparse point is the link
// itself. Otherwise the entry must be the very one listed: not a listed
// link (then the open went through it to its target), and the same file
// (not another that took the name since).
static verdict judge(HANDLE file, const FILE_ID_BOTH_DIR_INFO *listed, DWORD *attributes) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) {
        return verdict_leave;
    }
    *attributes = tag.FileAttributes;
    if (is_link(tag.FileAttributes)) {
        return verdict_link;
    }
    if (is_link(listed->FileAttributes) || !has_file_id(file, listed->FileId)) {
        return verdict_leave;
    }
    return is_directory(tag.FileAttributes) ? verdict_directory : verdict_file;
}

// Settles a judged entry that the walk does not enter; true when nothing
// that should go is left of it.
static bool settle(HANDLE file, verdict judged, DWORD attributes) {
    return (judged == verdict_link || judged == verdict_file) && delete_by_handle(file, attributes);
}

/*-**** The walk ****/

// A level whose listing is still to be read, from its beginning.
static level fresh_level(HANDLE directory, DWORD attributes, BYTE *listing) {
    return {.directory = directory,
            .attributes = attributes,
            .listing = listing,
            .next = NULL,
            .restart = true,
            .more = true,
            .clear = true};
}

// Reads the next batch of the level's listing; false at its end, and
// when it cannot be read (then the level is not clear).
static bool read_batch(level *here) {
    if (!here->more) {
        return false;
    }
    FILE_INFO_BY_HANDLE_CLASS batch = here->restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
    here->restart = false;
    if (!GetFileInformationByHandleEx(here->directory, batch, here->listing, listing_capacity)) {
        DWORD error = GetLastError();
        here->more = false;
        here->clear = here->clear && (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND);
        return false;
    }
    here->next = (const FILE_ID_BOTH_DIR_INFO *)here->listing;
    return true;
}

static bool is_dot_entry(const FILE_ID_BOTH_DIR_INFO *entry) {
    DWORD length = entry->FileNameLength / sizeof(wchar_t);
    return entry->FileName[0] == L'.' && (length == 1 || (length == 2 && entry->FileName[1] == L'.'));
}

// The level's next entry, "." and ".." skipped; NULL at the end.
static const FILE_ID_BOTH_DIR_INFO *next_entry(level *here) {
    for (;;) {
        if (here->next == NULL && !read_batch(here)) {
            return NULL;
        }
        const FILE_ID_BOTH_DIR_INFO *entry = here->next;
        here->next = entry->NextEntryOffset == 0
                         ? NULL
                         : (const FILE_ID_BOTH_DIR_INFO *)((const BYTE *)entry + entry->NextEntryOffset);
        if (!is_dot_entry(entry)) {
            return entry;
        }
    }
}

// Makes `directory` the innermost level; false (and the handle still the
// caller's) when the walk may not or cannot go deeper.
static bool descend(walk *w, HANDLE directory, DWORD attributes) {
    if (w->depth == w->deepest) {
        return false;
    }
    BYTE *listing = (BYTE *)malloc(listing_capacity);
    if (listing == NULL) {
        return false;
    }
    w->depth++;
    w->levels[w->depth] = fresh_level(directory, attributes, listing);
    return true;
}

// Leaves the innermost level, whose listing has ended: its directory goes
// through its handle when everything below it went, and the level above
// learns whether it did.
static void ascend(walk *w) {
    level *done = &w->levels[w->depth];
    bool gone = done->clear && delete_by_handle(done->directory, done->attributes);
    CloseHandle(done->directory);
    free(done->listing);
    w->depth--;
    if (!gone) {
        w->levels[w->depth].clear = false;
    }
}

// Opens, judges and settles one listed entry of the innermost level, or
// goes down into it.
static void handle_entry(walk *w, level *here, const FILE_ID_BOTH_DIR_INFO *entry) {
    HANDLE file = NULL;
    NTSTATUS status = open_entry(here->directory, entry, &file);
    if (!NT_SUCCESS(status)) {
        // Gone since the listing (another removal, say) is as good as removed.
        here->clear = here->clear && status == status_object_name_not_found;
        return;
    }
    DWORD attributes = 0;
    verdict judged = judge(file, entry, &attributes);
    if (judged == verdict_directory && descend(w, file, attributes)) {
        return;  // the new level holds the handle now
    }
    if (judged == verdict_directory || !settle(file, judged, attributes)) {
        here->clear = false;
    }
    CloseHandle(file);
}

// Runs the walk to its end, one entry at a time, with no recursion; true
// when everything that should go went, the start too with delete_start.
// The start's handle and listing stay the caller's.
static bool run_walk(walk *w) {
    for (;;) {
        level *here = &w->levels[w->depth];
        const FILE_ID_BOTH_DIR_INFO *entry = next_entry(here);
        if (entry != NULL) {
            handle_entry(w, here, entry);
        } else if (w->depth > 0) {
            ascend(w);
        } else {
            return here->clear && (!w->delete_start || delete_by_handle(here->directory, here->attributes));
        }
    }
}

// A walk that starts at the level `start`, whose listing it owns from
// here on; the handle stays the caller's.
static bool walk_from(const level *start, bool delete_start) {
    walk *w = (walk *)malloc(sizeof(walk));
    bool clear = false;
    if (w != NULL) {
        w->delete_start = delete_start;
        w->deepest = delete_start ? deepest_level : deepest_level + 1;
        w->depth = 0;
        w->levels[0] = *start;
        clear = run_walk(w);
    }
    free(w);
    free(start->listing);
    return clear;
}

/*-**** Starting from a path ****/

// The parts of a path in its \\?\ form, so that long paths work: the
// parent directory (with its trailing backslash, which a drive's root
// needs) and the last name.
struct split_path {
    wchar_t *parent;
    const wchar_t *name;
};

static bool acceptable_name(const wchar_t *name) {
    return name[0] != L'\0' && wcscmp(name, L".") != 0 && wcscmp(name, L"..") != 0 &&
           wcspbrk(name, name_wildcards) == NULL;
}

// False when the path does not fit, names no entry or no memory is left.
static bool split(const wchar_t *path, split_path *parts) {
    wchar_t *text = (wchar_t *)malloc(long_path_capacity * sizeof(wchar_t));
    if (text == NULL) {
        return false;
    }
    const wchar_t *prefix = L"\\\\?\\";
    const wchar_t *rest = path;
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (wcsncmp(path, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";
        rest = path + 2;
    }
    int n = _snwprintf(text, long_path_capacity, L"%ls%ls", prefix, rest);
    if (n < 0 || (size_t)n + 1 >= long_path_capacity) {  // one more for the split below
        free(text);
        return false;
    }
    while (n > 4 && text[n - 1] == L'\\') {
        text[--n] = L'\0';
    }
    wchar_t *last = wcsrchr(text + 4, L'\\');
    if (last == NULL || !acceptable_name(last + 1)) {
        free(text);
        return false;
    }
    // The parent keeps its backslash: the name moves one place on.
    wmemmove(last + 2, last + 1, wcslen(last + 1) + 1);
    last[1] = L'\0';
    parts->parent = text;
    parts->name = last + 2;
    return true;
}

// Reads the one entry of `parent` called `name` into `listing`; the
// status of the directory query.
static NTSTATUS list_one(HANDLE parent, const wchar_t *name, BYTE *listing) {
    UNICODE_STRING pattern;
    pattern.Buffer = (PWSTR)name;
    pattern.Length = (USHORT)(wcslen(name) * sizeof(wchar_t));
    pattern.MaximumLength = pattern.Length;
    IO_STATUS_BLOCK io;
    return NtQueryDirectoryFile(
        /* FileHandle           */ parent,
        /* Event                */ NULL,
        /* ApcRoutine           */ NULL,
        /* ApcContext           */ NULL,
        /* IoStatusBlock        */ &io,
        /* FileInformation      */ listing,
        /* Length               */ listing_capacity,
        /* FileInformationClass */ file_id_both_directory_information,
        /* ReturnSingleEntry    */ TRUE,
        /* FileName             */ &pattern,
        /* RestartScan          */ TRUE);
}

// The top is an entry of its parent like any other: listed through the
// parent's handle (by its name, the first query on that handle), then
// opened, judged and removed by the walk that starts at the parent.
static bool walk_entry_of(HANDLE parent, const wchar_t *name) {
    BYTE *listing = (BYTE *)malloc(listing_capacity);
    if (listing == NULL) {
        return false;
    }
    NTSTATUS status = list_one(parent, name, listing);
    if (!NT_SUCCESS(status)) {
        free(listing);
        return status == status_no_such_file;
    }
    level start = fresh_level(parent, 0, listing);
    start.next = (const FILE_ID_BOTH_DIR_INFO *)listing;
    start.more = false;  // that entry is the parent's whole listing here
    return walk_from(&start, false);
}

/*-**** Entry points ****/

bool remove_tree(const wchar_t *path) {
    split_path parts;
    if (!split(path, &parts)) {
        return false;
    }
    // The parent may be reached through links: it is the caller's choice.
    HANDLE parent = CreateFileW(
        /* lpFileName            */ parts.parent,
        /* dwDesiredAccess       */ parent_access,
        /* dwShareMode           */ share_all,
        /* lpSecurityAttributes  */ NULL,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ FILE_FLAG_BACKUP_SEMANTICS,
        /* hTemplateFile         */ NULL);
    DWORD error = GetLastError();
    bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    if (parent != INVALID_HANDLE_VALUE) {
        gone = walk_entry_of(parent, parts.name);
        CloseHandle(parent);
    }
    free(parts.parent);
    return gone;
}

/*-**** Holding the top already ****/

bool remove_tree_at(HANDLE directory) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &tag, sizeof tag)) {
        return false;
    }
    if (is_link(tag.FileAttributes) || !is_directory(tag.FileAttributes)) {
        return delete_by_handle(directory, tag.FileAttributes);  // a link as a link; nothing below either
    }
    BYTE *listing = (BYTE *)malloc(listing_capacity);
    if (listing == NULL) {
        return false;
    }
    level start = fresh_level(directory, tag.FileAttributes, listing);  // restarts: the caller may have listed it
    return walk_from(&start, true);
}
