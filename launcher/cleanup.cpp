// Clean-up and console control handler.
//
// Two threads can be here at once: the main thread at the end of a run, and
// the thread on which the system delivers a console event. They share the
// child process handle only through the slot in run_state: whoever takes
// the handle out of the slot owns it, and only the owner waits on it,
// terminates it and closes it.
#include "launcher/cleanup.h"

#include <wchar.h>

#include "base/fatal.h"
#include "files/remove.h"
#include "launcher/run_state.h"
#include "launcher/unpack_mode.h"
#include "payload/reader.h"

static const DWORD child_grace_ms = 5000;
static const UINT child_terminated_exit_code = 0;
static const int delete_retries = 20;
static const DWORD delete_retry_pause_ms = 100;
static const DWORD slot_poll_ms = 100;

// Set by the first console event that runs clean-up; never cleared.
static volatile LONG stop_requested;

/*-**** Removing the target directory ****/

// Removes the directory through handles (files/remove.h): each directory
// is opened relative to the one above it and checked to be the entry that
// was listed, so a link that the application or anyone else put into the
// directory, or swapped in during the walk, is removed as a link or left,
// never followed. A file still in use (a descendant of the program, a
// scanner) keeps it for now: at most 21 attempts with 100 ms pauses; after
// the last one nobody looks.
static void remove_target_directory(void) {
    if (unpack_mode_keeps_directory()) {
        return;  // the cache stays, however the run ends
    }
    for (int attempt = 0; !remove_tree(target_directory) && attempt < delete_retries; attempt++) {
        Sleep(delete_retry_pause_ms);
    }
}

void stop_if_payload_damaged(void) {
    if (!payload_frame_intact()) {
        remove_target_directory();
        fatal_decode_failed();
    }
}

/*-**** The child ****/

// Gives a running child a bounded time to end by itself, then ends it.
// Only the thread that took the handle out of its slot gets here with it.
static void end_child(HANDLE child) {
    if (WaitForSingleObject(child, child_grace_ms) != WAIT_OBJECT_0) {
        TerminateProcess(child, child_terminated_exit_code);
    }
    CloseHandle(child);
}

// Takes the child out of the slot and ends it; false when the slot is empty.
static bool end_child_in_slot(void) {
    HANDLE child = take_child_process();
    if (child == NULL) {
        return false;
    }
    end_child(child);
    return true;
}

void cleanup(void) {
    end_child_in_slot();
    if (!payload_extraction_started()) {
        return;
    }
    remove_target_directory();
}

/*-**** Console events ****/

// An event that comes after extraction has started but finds no child in
// the slot has caught the main thread still writing entries, or between the
// last entry and the child's start. The main thread goes on regardless: the
// file it is writing cannot be deleted while it is open, and it will start
// the child. If the default handling ended the process now, that file and
// the directory would stay behind, and a child caught half-started would be
// left running on its own (no longer finding its parent, it would unpack
// the payload again as a parent of its own). So the handler keeps the
// process alive instead: the main thread, seeing that a stop was requested,
// ends the child as soon as it has started it (end_child_if_stop_requested),
// removes the directory in its own clean-up -- every extracted file is
// closed by then -- and ends the process. Should the handler find the child
// in the slot first, it ends it itself and removes the directory.
static void end_child_started_late(void) {
    HANDLE child = take_child_process();
    while (child == NULL) {
        Sleep(slot_poll_ms);
        child = take_child_process();
    }
    TerminateProcess(child, child_terminated_exit_code);
    WaitForSingleObject(child, child_grace_ms);  // its files stay in use until it is gone
    CloseHandle(child);
}

void end_child_if_stop_requested(void) {
    if (InterlockedCompareExchange(&stop_requested, 0, 0) == 0) {
        return;
    }
    // Started after the event, the child never saw it; it has not got far
    // enough to run the application yet.
    HANDLE child = take_child_process();
    if (child != NULL) {
        TerminateProcess(child, child_terminated_exit_code);
        CloseHandle(child);
    }
}

// cleanup(), except that with no child in the slot yet the directory is
// left alone until the child has come and gone: deleting under the main
// thread's feet would only make its next file fail to open, a fatal error
// that ends the process with part of the directory still in place.
static void cleanup_for_console_event(void) {
    // Set before the slot is looked at, and the main thread publishes the
    // child before it looks at this flag (both through interlocked
    // operations): a child that this look misses is seen by the main
    // thread's end_child_if_stop_requested().
    InterlockedExchange(&stop_requested, 1);
    bool had_child = end_child_in_slot();
    if (!payload_extraction_started()) {
        return;
    }
    if (!had_child) {
        end_child_started_late();
    }
    remove_target_directory();
}

BOOL WINAPI console_control_handler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanup_for_console_event();
        break;
    default:
        break;
    }
    return FALSE;
}
