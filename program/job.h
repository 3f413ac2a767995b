// The job object that holds the program and everything it starts.
#pragma once

#include <windows.h>

// A job that ends every process in it when its last handle closes, so that
// a runner that dies for any reason takes the program along. Fatal when it
// cannot be made.
HANDLE create_program_job(void);

// How the program came into its job.
enum job_entry {
    job_entry_at_creation,  // created inside it
    job_entry_assigned,     // created suspended, then put into it
    job_entry_failed,       // not created: the system's error is in GetLastError()
};

// Creates the program with `startup` (handles inherited), inside `job`, and
// lets it run; `process` then holds its process handle (the thread handle
// is closed). Failing to put a created program into the job is fatal.
job_entry start_in_job(HANDLE job, const wchar_t *program, wchar_t *command_line, STARTUPINFOW *startup,
                       PROCESS_INFORMATION *process);

// True while some process of the job still runs.
bool job_has_processes(HANDLE job);

// From now on, closing the job's last handle ends nothing: what the program
// started lives on after the runner, as it would after the program run
// directly.
void let_job_outlive_runner(HANDLE job);
