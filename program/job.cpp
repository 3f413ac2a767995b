// The program's job object.
//
// The program is created inside the job (PROC_THREAD_ATTRIBUTE_JOB_LIST),
// so there is no moment in which it runs, or waits suspended, outside it:
// a runner that dies at any point takes the program along. Where the system
// refuses the attribute, the program is created suspended, put into the
// job and only then resumed; a runner that died between the two steps
// would leave it suspended outside the job. Wine 8 honours the attribute.
#include "program/job.h"

#include "base/fatal.h"

static const int fatal_exit_status = 2;
static const DWORD creation_flags = CREATE_SUSPENDED | NORMAL_PRIORITY_CLASS;
static const DWORD resume_failed = (DWORD)-1;
static const DWORD job_attribute_count = 1;

HANDLE create_program_job(void) {
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (job == NULL) {
        DWORD code = GetLastError();
        fatal_error_with_code("Error, couldn't create the program's job object.", code);
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        DWORD code = GetLastError();
        fatal_error_with_code("Error, couldn't set up the program's job object.", code);
    }
    return job;  // held until this process ends
}

static BOOL create_suspended(const wchar_t *program, wchar_t *command_line, DWORD flags, STARTUPINFOW *startup,
                             PROCESS_INFORMATION *process) {
    return CreateProcessW(
        /* lpApplicationName    */ program,
        /* lpCommandLine        */ command_line,
        /* lpProcessAttributes  */ NULL,
        /* lpThreadAttributes   */ NULL,
        /* bInheritHandles      */ TRUE,
        /* dwCreationFlags      */ creation_flags | flags,
        /* lpEnvironment        */ NULL,
        /* lpCurrentDirectory   */ NULL,
        /* lpStartupInfo        */ startup,
        /* lpProcessInformation */ process);
}

// The attribute list lives in a buffer of the size the system asks for;
// false when the system has no such attribute.
static bool create_with_job_list(HANDLE job, const wchar_t *program, wchar_t *command_line, STARTUPINFOW *startup,
                                 PROCESS_INFORMATION *process) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(NULL, job_attribute_count, 0, &size);
    LPPROC_THREAD_ATTRIBUTE_LIST list = (LPPROC_THREAD_ATTRIBUTE_LIST)HeapAlloc(GetProcessHeap(), 0, size);
    if (list == NULL) {
        return false;
    }
    bool created = false;
    if (InitializeProcThreadAttributeList(list, job_attribute_count, 0, &size)) {
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof job, NULL, NULL)) {
            STARTUPINFOEXW extended = {};
            extended.StartupInfo = *startup;
            extended.StartupInfo.cb = sizeof extended;
            extended.lpAttributeList = list;
            created = create_suspended(program, command_line, EXTENDED_STARTUPINFO_PRESENT,
                                       &extended.StartupInfo, process) != FALSE;
        }
        DeleteProcThreadAttributeList(list);
    }
    HeapFree(GetProcessHeap(), 0, list);
    return created;
}

// The program is still suspended here, so it has done nothing yet.
static void enter_job_and_resume(HANDLE job, const PROCESS_INFORMATION *process) {
    BOOL inside = FALSE;
    if (!IsProcessInJob(process->hProcess, job, &inside) || !inside) {
        if (!AssignProcessToJobObject(job, process->hProcess)) {
            DWORD code = GetLastError();
            TerminateProcess(process->hProcess, fatal_exit_status);
            fatal_error_with_code("Error, couldn't put the program into its job object.", code);
        }
    }
    if (ResumeThread(process->hThread) == resume_failed) {
        DWORD code = GetLastError();
        TerminateProcess(process->hProcess, fatal_exit_status);
        fatal_error_with_code("Error, couldn't resume the program.", code);
    }
    CloseHandle(process->hThread);
}

job_entry start_in_job(HANDLE job, const wchar_t *program, wchar_t *command_line, STARTUPINFOW *startup,
                       PROCESS_INFORMATION *process) {
    job_entry entry = job_entry_at_creation;
    if (!create_with_job_list(job, program, command_line, startup, process)) {
        // A program that cannot start fails here again, with its own error.
        if (!create_suspended(program, command_line, 0, startup, process)) {
            return job_entry_failed;
        }
        entry = job_entry_assigned;
    }
    enter_job_and_resume(job, process);
    return entry;
}

bool job_has_processes(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, NULL)) {
        return false;  // nothing to wait for that could be seen
    }
    return accounting.ActiveProcesses > 0;
}

void let_job_outlive_runner(HANDLE job) {
    // Should this fail, the program's descendants end with the runner, as
    // they always did; nothing else changes.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}
