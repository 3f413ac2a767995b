// The launcher process behind a run: the parent instance that unpacked the
// directory and waits for the run's end.
#pragma once

#include <windows.h>

// The process `process_id`, opened for waiting, if it runs and was started
// no later than `latest` (a FILETIME count): a process with that ID started
// later has only reused the ID of one that ended. Null otherwise; `*ended`
// then tells whether that launcher has certainly ended (false when the
// process exists but cannot be looked at, say another user's).
HANDLE open_launcher(DWORD process_id, ULONGLONG latest, bool *ended);

// This run's launcher (VELSOR_ONEFILE_PARENT), started before this process.
HANDLE open_parent_launcher(bool *ended);
