// Child process launch and command line.
#include "launcher/child.h"

#include <shellapi.h>
#include <wchar.h>

#include "base/fatal.h"
#include "base/text.h"

static const size_t module_path_capacity = 4096;

static wchar_t module_path[module_path_capacity];
static wchar_t child_command_line[child_command_line_capacity];

static void fill_module_path(void) {
    if (module_path[0] != L'\0') {
        return;
    }
    if (GetModuleFileNameW(NULL, module_path, module_path_capacity) == 0) {
        capacity_stop();
    }
}

/*-**** Launch ****/

wchar_t *build_child_command_line(void) {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL) {
        fatal_launch_failed(GetLastError());  // no arguments, no launch
    }
    fill_module_path();
    argv[0] = module_path;
    quote_command_line(child_command_line, child_command_line_capacity, argc, argv);
    LocalFree(argv);
    return child_command_line;
}

HANDLE launch_child(void) {
    fill_module_path();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL created = CreateProcessW(
        /* lpApplicationName    */ module_path,
        /* lpCommandLine        */ build_child_command_line(),
        /* lpProcessAttributes  */ NULL,
        /* lpThreadAttributes   */ NULL,
        /* bInheritHandles      */ TRUE,
        /* dwCreationFlags      */ NORMAL_PRIORITY_CLASS,
        /* lpEnvironment        */ NULL,
        /* lpCurrentDirectory   */ NULL,
        /* lpStartupInfo        */ &startup,
        /* lpProcessInformation */ &process);
    if (!created) {
        fatal_launch_failed(GetLastError());
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}
