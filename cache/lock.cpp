// The cache's mutex, one per parent directory.
//
// Its name is in the Global\ namespace, so that the same user's sessions
// (and services) agree too; where that is refused, Local\. A mutex whose
// owner died is still handed over (WAIT_ABANDONED): the protocol never
// depends on state left half-done under it. Somebody who holds the mutex
// forever could only delay a run: after the wait limit it goes on alone,
// and the in-use files still keep used directories from being retired.
#include "cache/lock.h"

#include <stdio.h>
#include <wchar.h>

#include "cache/record.h"

static const DWORD lock_wait_ms = 60000;
static const size_t lock_name_capacity = 64;
static HANDLE open_lock(const wchar_t *scope, const wchar_t *tag) {
    wchar_t name[lock_name_capacity];
    _snwprintf(name, lock_name_capacity, L"%lsvelsor-cache-%ls", scope, tag);
    name[lock_name_capacity - 1] = L'\0';
    return CreateMutexW(/* lpMutexAttributes */ NULL, /* bInitialOwner */ FALSE, /* lpName */ name);
}

HANDLE cache_lock_take(const wchar_t *parent) {
    wchar_t tag[cache_tag_capacity];
    cache_program_tag(parent, tag);
    HANDLE lock = open_lock(L"Global\\", tag);
    if (lock == NULL) {
        lock = open_lock(L"Local\\", tag);
    }
    if (lock == NULL) {
        return NULL;
    }
    DWORD waited = WaitForSingleObject(lock, lock_wait_ms);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(lock);
        return NULL;
    }
    return lock;
}

void cache_lock_release(HANDLE lock) {
    if (lock != NULL) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
}
