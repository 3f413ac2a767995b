// Clean-up and console control handler.
#include "launcher/cleanup.h"

#include <shellapi.h>
#include <wchar.h>

#include "launcher/run_state.h"

static const DWORD child_grace_ms = 5000;
static const UINT child_terminated_exit_code = 0;
static const int delete_retries = 20;
static const DWORD delete_retry_pause_ms = 100;
static const FILEOP_FLAGS delete_flags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;  // 0x0414

// Asks the shell to delete the target directory and everything below it.
// The request is rebuilt for every attempt.
static void request_directory_delete(void) {
    // The source is a list of paths: the directory, then two terminators.
    // Local, since the main thread and the handler's thread may both be here.
    wchar_t source[target_directory_capacity + 1];
    size_t length = wcslen(target_directory);
    wmemcpy(source, target_directory, length);
    source[length] = L'\0';
    source[length + 1] = L'\0';

    SHFILEOPSTRUCTW request = {};
    request.hwnd = NULL;
    request.wFunc = FO_DELETE;
    request.pFrom = source;
    request.pTo = L"";
    request.fFlags = delete_flags;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = NULL;
    request.lpszProgressTitle = L"";
    SHFileOperationW(&request);
}

static bool target_directory_exists(void) {
    DWORD attributes = GetFileAttributesW(target_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Gives a running child a bounded time to end by itself, then ends it.
// Only the thread that took the handle out of its slot gets here with it.
static void end_child(HANDLE child) {
    if (WaitForSingleObject(child, child_grace_ms) != WAIT_OBJECT_0) {
        TerminateProcess(child, child_terminated_exit_code);
    }
    CloseHandle(child);
}

void cleanup(void) {
    HANDLE child = take_child_process();
    if (child != NULL) {
        end_child(child);
    }
    if (!extraction_has_started()) {
        return;
    }
    request_directory_delete();
    for (int attempt = 0; attempt < delete_retries; attempt++) {
        if (!target_directory_exists()) {
            return;
        }
        Sleep(delete_retry_pause_ms);
        request_directory_delete();
    }
}

BOOL WINAPI console_control_handler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanup();
        break;
    default:
        break;
    }
    return FALSE;
}
