// Finding a run's launcher process, and telling it from a later process
// that has been given the same ID.
#include "program/launcher_process.h"

#include <wchar.h>

#include "base/text.h"
#include "paths/env.h"

static const DWORD launcher_access = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;

// False when the times cannot be read: the process is then taken as the
// launcher, so that a run is never judged over on a guess.
static bool started_after(HANDLE process, ULONGLONG latest) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return false;
    }
    return filetime_count(created) > latest;
}

HANDLE open_launcher(DWORD process_id, ULONGLONG latest, bool *ended) {
    HANDLE process = OpenProcess(launcher_access, FALSE, process_id);
    if (process == NULL) {
        DWORD code = GetLastError();
        *ended = code == ERROR_INVALID_PARAMETER;  // no process has this ID
        return NULL;
    }
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0 || started_after(process, latest)) {
        CloseHandle(process);
        *ended = true;
        return NULL;
    }
    *ended = false;
    return process;
}

HANDLE open_parent_launcher(bool *ended) {
    *ended = false;
    DWORD process_id = 0;
    if (!env_parent_process_id(&process_id)) {
        return NULL;
    }
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return NULL;
    }
    return open_launcher(process_id, filetime_count(created), ended);
}
