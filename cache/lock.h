// The lock that runs sharing one cache parent directory hold around
// scanning, retiring and publishing.
#pragma once

#include <windows.h>

// Takes the lock of the held parent directory `parent`: its lock file,
// opened without sharing. The parent is this user's own and nobody else
// may change it, so nobody else can create or hold the file. Waits for
// another run to let go; a run that cannot have it within the wait ends
// with one line and status 2, and never goes on without it.
HANDLE cache_lock_take(HANDLE parent);
void cache_lock_release(HANDLE lock);
