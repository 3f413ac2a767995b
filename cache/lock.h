// The named mutex that runs sharing one cache parent directory hold around
// scanning, retiring and publishing.
#pragma once

#include <windows.h>

// Waits for the mutex of `parent` (named after its path, case folded) and
// returns it; null when it cannot be had, and the run goes on without it
// rather than not at all.
HANDLE cache_lock_take(const wchar_t *parent);
void cache_lock_release(HANDLE lock);
