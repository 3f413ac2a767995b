// Run state shared between the run sequence, extraction and clean-up.
//
// The console control handler reads these on a thread of its own; the
// target directory is fixed before the handler is registered, the flag is
// only ever set, and the child process handle moves between threads only
// through take_child_process().
#pragma once

#include <windows.h>

#include "payload/format.h"
#include "payload/host.h"

inline constexpr size_t target_directory_capacity = payload_path_capacity;

// Full path of this run's directory; written before extraction starts.
extern wchar_t target_directory[target_directory_capacity];

// Set through mark_extraction_started() (payload/host.h) by payload_open()
// as its last step; clean-up removes the target directory only once it is set.
bool extraction_has_started(void);

// The slot for the child process handle. Whoever takes the handle out owns
// it: only that thread waits on it, terminates and closes it.
void publish_child_process(HANDLE process);
HANDLE take_child_process(void);
