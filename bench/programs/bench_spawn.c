/* The floor of a program entry's start: a console program that starts
 * argv[1] with the rest of its own command line inside a kill-on-close job,
 * waits and returns the program's exit code, checking and unpacking
 * nothing. bench/later.sh times it beside the packed program. */
#include <windows.h>

static wchar_t *rest_of_command_line(void) {
    wchar_t *line = GetCommandLineW();
    if (*line == L'"') {
        for (line++; *line != L'\0' && *line != L'"'; line++) {
        }
        line += *line == L'"';
    } else {
        for (; *line != L'\0' && *line != L' '; line++) {
        }
    }
    while (*line == L' ') {
        line++;
    }
    return line;
}

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        return 90;
    }
    HANDLE job = CreateJobObjectW(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {0};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    if (!CreateProcessW(argv[1], rest_of_command_line(), NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &startup,
                        &process)) {
        return 91;
    }
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 92;
    GetExitCodeProcess(process.hProcess, &code);
    return (int)code;
}
