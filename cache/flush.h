// Flushing the files a first cached run writes, on a thread of its own, so
// that the disk catches up while the payload is still being decoded.
#pragma once

#include <windows.h>

// Starts the flushing thread; false when it cannot be started (the files
// are then flushed on the spot by flush_file).
bool flush_start(void);

// Flushes `file` to disk: hands a duplicate of its handle to the thread,
// or flushes it here without one. False when a flush here failed, with the
// system's error in GetLastError.
bool flush_file(HANDLE file);

// Waits until every file handed over is flushed; false when any flush
// failed, with the first failure's error in GetLastError.
bool flush_finish(void);
