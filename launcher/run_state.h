// Run state shared between the run sequence and clean-up.
//
// The console control handler reads these on a thread of its own; the
// target directory is fixed before the handler is registered, and the child
// process handle moves between threads only through take_child_process().
// Whether extraction has started is the payload reader's to say
// (payload_extraction_started).
#pragma once

#include <windows.h>

#include "base/layout.h"

inline constexpr size_t target_directory_capacity = payload_path_capacity;

// Full path of this run's directory; written before extraction starts.
extern wchar_t target_directory[target_directory_capacity];

// The slot for the child process handle. Whoever takes the handle out owns
// it: only that thread waits on it, terminates and closes it.
void publish_child_process(HANDLE process);
HANDLE take_child_process(void);
