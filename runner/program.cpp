// Starting the program, waiting for it, and the console events meanwhile.
//
// The program runs in a job object that kills every process in it when its
// last handle closes. Only this process holds that handle, so when this
// process ends for any reason (the program's end, the parent's clean-up
// terminating it after its grace period, a kill from outside), the program
// and whatever it started inside the job end with it.
#include "runner/program.h"

#include <stdio.h>
#include <stdlib.h>

#include "launcher/fatal.h"

static const int fatal_exit_status = 2;
static const DWORD message_language_en_us = 0x0409;
static const DWORD status_dll_not_found = 0xC0000135;  // the loader found no DLL the program imports
static const size_t line_capacity = 8192;
static const DWORD creation_flags = CREATE_SUSPENDED | NORMAL_PRIORITY_CLASS;

static HANDLE program_process;

/*-**** The fatal line ****/

static void append(wchar_t *line, size_t *length, const wchar_t *text) {
    for (; *text != L'\0' && *length + 1 < line_capacity; text++) {
        line[(*length)++] = *text;
    }
    line[*length] = L'\0';
}

static void append_narrow(wchar_t *line, size_t *length, const char *text) {
    for (; *text != '\0' && *length + 1 < line_capacity; text++) {
        line[(*length)++] = (wchar_t)(unsigned char)*text;
    }
    line[*length] = L'\0';
}

// "Error, couldn't start program '<path>' ([Error <code>] <system text>)"
// on stderr, then exit status 2.
[[noreturn]] static void fatal_start_failed(const wchar_t *program, DWORD code) {
    char *text = NULL;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        /* lpSource     */ NULL,
        /* dwMessageId  */ code,
        /* dwLanguageId */ message_language_en_us,
        /* lpBuffer     */ (LPSTR)&text,
        /* nSize        */ 0,
        /* Arguments    */ NULL);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
        text[--length] = '\0';
    }
    char number[32];
    snprintf(number, sizeof number, "%ld", (long)code);
    static wchar_t line[line_capacity];
    size_t used = 0;
    append(line, &used, L"Error, couldn't start program '");
    append(line, &used, program);
    append(line, &used, L"' ([Error ");
    append_narrow(line, &used, number);
    append(line, &used, L"] ");
    append_narrow(line, &used, length > 0 ? text : "unknown error");
    append(line, &used, L")\n");
    fputws(line, stderr);
    fflush(stderr);
    exit(fatal_exit_status);
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

/*-**** The job ****/

static HANDLE create_kill_on_close_job(void) {
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

static void put_into_job(HANDLE job, const PROCESS_INFORMATION *process) {
    if (!AssignProcessToJobObject(job, process->hProcess)) {
        DWORD code = GetLastError();
        TerminateProcess(process->hProcess, fatal_exit_status);
        fatal_error_with_code("Error, couldn't put the program into its job object.", code);
    }
    ResumeThread(process->hThread);
    CloseHandle(process->hThread);
}

/*-**** Run ****/

DWORD run_program(const wchar_t *program, wchar_t *command_line) {
    SetConsoleCtrlHandler(console_event_handler, TRUE);  // without a console: never called
    HANDLE job = create_kill_on_close_job();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL created = CreateProcessW(
        /* lpApplicationName    */ program,
        /* lpCommandLine        */ command_line,
        /* lpProcessAttributes  */ NULL,
        /* lpThreadAttributes   */ NULL,
        /* bInheritHandles      */ TRUE,
        /* dwCreationFlags      */ creation_flags,
        /* lpEnvironment        */ NULL,
        /* lpCurrentDirectory   */ NULL,
        /* lpStartupInfo        */ &startup,
        /* lpProcessInformation */ &process);
    if (!created) {
        DWORD code = GetLastError();
        fatal_start_failed(program, code);
    }
    program_process = process.hProcess;
    put_into_job(job, &process);

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(process.hProcess, &exit_code)) {
        DWORD code = GetLastError();
        fatal_error_with_code("Error, couldn't read the program's exit code.", code);
    }
    // Windows starts a program whose DLL is missing and its loader ends it
    // with this status before the program's own code runs.
    if (exit_code == status_dll_not_found) {
        fatal_start_failed(program, ERROR_MOD_NOT_FOUND);
    }
    return exit_code;
}
