// The cache's lock: a file in the user's own cache parent directory, held
// open without sharing. A run that dies lets go with its process.
#include "cache/lock.h"

#include "base/fatal.h"
#include "base/layout.h"
#include "base/text.h"
#include "files/relative.h"

static const DWORD lock_wait_ms = 60000;
static const DWORD lock_poll_ms = 10;
static const DWORD no_sharing = 0;

HANDLE cache_lock_take(HANDLE parent) {
    for (DWORD waited = 0;; waited += lock_poll_ms) {
        HANDLE lock = open_file_at(parent, wide_name(cache_lock_leaf), no_sharing);
        if (lock != INVALID_HANDLE_VALUE) {
            return lock;
        }
        DWORD code = GetLastError();
        if (code != ERROR_SHARING_VIOLATION || waited >= lock_wait_ms) {
            fatal_error_with_code("Error, couldn't take the cache's lock.", code);
        }
        Sleep(lock_poll_ms);
    }
}

void cache_lock_release(HANDLE lock) { CloseHandle(lock); }
