// Starting the program, waiting for it, and the console events meanwhile.
//
// The program runs in a job object that kills every process in it when its
// last handle closes. Only this process holds that handle, so when this
// process ends before the run is over (the parent's clean-up terminating
// it after its grace period, a kill from outside), the program and whatever
// it started inside the job end with it. Once the run is over the job lets
// go of them: what the program started and left running lives on, as it
// would had the program been run directly.
#include "program/program.h"

#include <stdio.h>

#include "base/fatal.h"
#include "program/job.h"

static const UINT ended_with_launcher_exit_code = 1;
static const DWORD descendant_poll_ms = 50;

static HANDLE volatile program_process;  // read by the console handler's thread

/*-**** The fatal line ****/

// "Error, couldn't start program '<path>' ([Error <code>] <system text>)" on
// stderr, then status 2. The launcher's fatal code writes the part from the
// closing quote on; the path goes first as wide text (stderr is unbuffered,
// as attach_console left it), since the launcher's messages are ASCII.
[[noreturn]] static void fatal_start_failed(const wchar_t *program, DWORD code) {
    fputws(L"Error, couldn't start program '", stderr);
    fputws(program, stderr);
    fatal_error_with_code("'", code);
}

/*-**** Console events ****/

// Ctrl+C and Ctrl+Break reach the program too, which decides what they
// mean: this process stays, so the program's exit code can still be passed
// on. For close, logoff and shutdown, Windows ends this process as soon as
// the handler returns, so the handler first waits for the program.
static BOOL WINAPI console_event_handler(DWORD event) {
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(program_process, INFINITE);
    }
    return TRUE;
}

/*-**** Waiting ****/

// True when the program ended; false when the launcher ended first.
static bool wait_for_program(HANDLE program, HANDLE launcher) {
    if (launcher == NULL) {
        WaitForSingleObject(program, INFINITE);
        return true;
    }
    HANDLE objects[2] = {program, launcher};  // the program first: it wins a tie
    return WaitForMultipleObjects(2, objects, FALSE, INFINITE) != WAIT_OBJECT_0 + 1;
}

// What the program started may still run from the directory, which the
// launcher deletes once this process has returned. The job's count of
// processes is read before the first pause, so a program that started
// nothing costs none.
static bool wait_for_descendants(HANDLE job, HANDLE launcher) {
    while (job_has_processes(job)) {
        if (launcher == NULL) {
            Sleep(descendant_poll_ms);
        } else if (WaitForSingleObject(launcher, descendant_poll_ms) == WAIT_OBJECT_0) {
            return false;
        }
    }
    return true;
}

// "End task" on the launcher ends the whole run: the program and all it
// started, wherever the run had got to.
static void end_with_launcher(HANDLE job, HANDLE program) {
    TerminateJobObject(job, ended_with_launcher_exit_code);
    WaitForSingleObject(program, INFINITE);
}

/*-**** Run ****/

DWORD run_program(const wchar_t *program, wchar_t *command_line, bool directory_kept, HANDLE launcher) {
    SetConsoleCtrlHandler(console_event_handler, TRUE);  // without a console: never called
    HANDLE job = create_program_job();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (start_in_job(job, program, command_line, &startup, &process) == job_entry_failed) {
        DWORD code = GetLastError();
        fatal_start_failed(program, code);
    }
    program_process = process.hProcess;

    bool over = wait_for_program(process.hProcess, launcher);
    if (over && !directory_kept) {
        over = wait_for_descendants(job, launcher);
    }
    if (!over) {
        end_with_launcher(job, process.hProcess);
    }
    // A program that really ends with any status, 0xC0000135 (a DLL it
    // imports is missing) included, passes it on as it is; velsor-pack
    // warns at pack time about imports the directory lacks.
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(process.hProcess, &exit_code)) {
        DWORD code = GetLastError();
        fatal_error_with_code("Error, couldn't read the program's exit code.", code);
    }
    let_job_outlive_runner(job);
    return exit_code;
}
