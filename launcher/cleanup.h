// Clean-up of the target directory, also on console events.
#pragma once

#include <windows.h>

// Ends a child that is still running (after a bounded wait), then deletes
// the target directory once extraction has started. Silent; safe to run on
// the main thread and the console handler's thread at the same time.
void cleanup(void);

// For the parent, once every entry is written: when the payload's frame
// fails its check at its end (a damaged byte that still decoded), the
// directory is removed and the run ends with the decode error, before
// anything runs from it.
void stop_if_payload_damaged(void);

// Console event handler of the parent: runs clean-up for Ctrl+C, Ctrl+Break,
// close, logoff and shutdown, and always answers "not handled" so the
// system's default handling then ends the process.
BOOL WINAPI console_control_handler(DWORD event);

// For the main thread, right after it has put a new child in the slot: if a
// console event has already asked the run to stop, the child is taken out
// and terminated at once.
void end_child_if_stop_requested(void);
