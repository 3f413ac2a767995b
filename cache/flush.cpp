// Flushing written files on a thread of its own.
//
// The main thread writes each file and hands a duplicate of its handle to a
// queue; the thread flushes and closes them in order. Before the record
// that publishes the directory is written, flush_finish waits for the
// queue to run dry, so the rename still comes after every byte is on disk.
#include "cache/flush.h"

#include <stdlib.h>

static CRITICAL_SECTION queue_lock;
static HANDLE queued;   // semaphore: one count per handle in the queue
static HANDLE *queue;   // handles waiting, [taken, count); NULL ends the thread
static size_t count;
static size_t capacity;
static size_t taken;
static HANDLE thread;
static DWORD first_error;  // of a failed flush, 0 while none failed

static HANDLE take(void) {
    WaitForSingleObject(queued, INFINITE);
    EnterCriticalSection(&queue_lock);
    HANDLE file = queue[taken++];
    LeaveCriticalSection(&queue_lock);
    return file;
}

static DWORD WINAPI flush_queued(void *) {
    for (HANDLE file = take(); file != NULL; file = take()) {
        if (!FlushFileBuffers(file) && first_error == 0) {
            first_error = GetLastError();
        }
        CloseHandle(file);
    }
    return 0;
}

// Appends `file` to the queue, always keeping one slot free for the end
// mark (NULL), which therefore never fails for want of memory.
static bool put(HANDLE file) {
    EnterCriticalSection(&queue_lock);
    bool room = file == NULL || count + 1 < capacity;
    if (!room) {
        size_t more = 2 * capacity;
        void *grown = realloc(queue, more * sizeof(HANDLE));
        if (grown != NULL) {
            queue = (HANDLE *)grown;
            capacity = more;
            room = true;
        }
    }
    if (room) {
        queue[count++] = file;
    }
    LeaveCriticalSection(&queue_lock);
    return room && ReleaseSemaphore(queued, 1, NULL);
}

static const size_t first_capacity = 256;

bool flush_start(void) {
    InitializeCriticalSection(&queue_lock);
    queue = (HANDLE *)malloc(first_capacity * sizeof(HANDLE));
    queued = CreateSemaphoreW(NULL, 0, MAXLONG, NULL);
    if (queue == NULL || queued == NULL) {
        return false;
    }
    capacity = first_capacity;
    thread = CreateThread(NULL, 0, flush_queued, NULL, 0, NULL);
    return thread != NULL;
}

bool flush_file(HANDLE file) {
    HANDLE copy = NULL;
    if (thread != NULL &&
        DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        if (put(copy)) {
            return true;
        }
        CloseHandle(copy);
    }
    return FlushFileBuffers(file) != FALSE;
}

bool flush_finish(void) {
    if (thread != NULL && put(NULL)) {
        WaitForSingleObject(thread, INFINITE);
    }
    SetLastError(first_error);
    return first_error == 0;
}
