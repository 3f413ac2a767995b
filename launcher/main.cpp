// The launcher's entry point and run sequence.
//
// One executable, two roles. The parent (the instance the user started)
// unpacks the payload into a fresh directory, starts its own executable
// again, waits, passes the child's exit code on and removes the directory.
// The child (recognised by VELSOR_ONEFILE_PARENT naming a running instance
// of this same executable) finds the same directory, loads the application
// DLL and returns what its run_code returns.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>
#include <psapi.h>

#include "base/fatal.h"
#include "base/layout.h"
#include "base/text.h"
#include "launcher/child.h"
#include "launcher/cleanup.h"
#include "launcher/console.h"
#include "launcher/run_state.h"
#include "launcher/unpack_mode.h"
#include "paths/env.h"
#include "paths/own_path.h"
#include "paths/template.h"
#include "payload/extract.h"
#include "payload/reader.h"

typedef int(__stdcall *run_code_function)(int argc, wchar_t **argv, const wchar_t *dll_path);

static const wchar_t target_template[] = L"{TEMP}\\" VELSOR_RUN_PREFIX "{PID}_{TIME_US}_{RANDOM}";
static const size_t parent_image_capacity = 2048;
static const size_t pid_text_capacity = 128;
static const DWORD parent_query_access = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
static const DWORD dll_load_flags =
    LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;  // 0xD00
static const int unreadable_exit_code = 1;

static wchar_t launcher_directory[own_path_capacity];

/*-**** Role decision ****/

// True when `process` runs this same executable, compared in resolved form.
static bool runs_own_executable(HANDLE process) {
    wchar_t image[parent_image_capacity];
    if (K32GetModuleFileNameExW(process, NULL, image, parent_image_capacity) == 0) {
        return false;
    }
    resolve_final_path(image, parent_image_capacity, true);
    shorten_directory_part(image, parent_image_capacity);
    return wcscmp(image, get_own_executable_path(true)) == 0;
}

static bool is_child_role(void) {
    DWORD process_id = 0;
    if (!env_parent_process_id(&process_id)) {
        return false;
    }
    HANDLE process = OpenProcess(parent_query_access, FALSE, process_id);
    if (process == NULL) {
        return false;
    }
    bool same = runs_own_executable(process);
    CloseHandle(process);
    return same;
}

/*-**** Parent ****/

static void prepare_parent_environment(void) {
    env_unset("VELSOR_ONEFILE_START");
    env_unset("VELSOR_ONEFILE_TIME_US");
    env_unset("VELSOR_ONEFILE_RANDOM");
    char narrow[pid_text_capacity];
    wchar_t wide[pid_text_capacity];
    snprintf(narrow, sizeof narrow, "%ld", (long)GetCurrentProcessId());
    widen_ascii(narrow, wide, pid_text_capacity);
    env_set("VELSOR_ONEFILE_PARENT", wide);
}

static void set_application_environment(const wchar_t *argv0) {
    copy_bounded(launcher_directory, get_own_executable_path(false), own_path_capacity);
    wchar_t *last = wcsrchr(launcher_directory, L'\\');
    if (last != NULL) {
        *last = L'\0';
    }
    env_set("VELSOR_ONEFILE_DIRECTORY", launcher_directory);
    env_set("VELSOR_ORIGINAL_ARGV0", argv0);
}

// Waits for the child without a time limit and takes its exit code (1 when
// it cannot be read).
//
// The child's handle goes into the shared slot, where the console handler's
// clean-up can take it to end the child. Whoever takes it out owns it alone:
// only that thread waits on it, terminates it and closes it. The main thread
// therefore waits on a duplicate of its own, which no other thread ever
// sees, and takes the original back afterwards only if it is still there.
// Without a duplicate the original stays with the main thread and the slot
// stays empty, so no thread can close the handle it is waiting on.
static DWORD wait_for_child(HANDLE child) {
    HANDLE waiter = NULL;
    BOOL duplicated = DuplicateHandle(
        /* hSourceProcessHandle */ GetCurrentProcess(),
        /* hSourceHandle        */ child,
        /* hTargetProcessHandle */ GetCurrentProcess(),
        /* lpTargetHandle       */ &waiter,
        /* dwDesiredAccess      */ 0,
        /* bInheritHandle       */ FALSE,
        /* dwOptions            */ DUPLICATE_SAME_ACCESS);
    if (duplicated) {
        publish_child_process(child);
        end_child_if_stop_requested();
    } else {
        waiter = child;
    }
    WaitForSingleObject(waiter, INFINITE);
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(waiter, &exit_code)) {
        exit_code = unreadable_exit_code;
    }
    CloseHandle(waiter);
    if (duplicated) {
        HANDLE own = take_child_process();  // null if the handler's clean-up took it
        if (own != NULL) {
            CloseHandle(own);
        }
    }
    return exit_code;
}

static int run_application(int argc, wchar_t **argv, const wchar_t *dll_path);

// The cache mode: the directory stays, so nothing is left to clean up and
// no second process is needed; the application runs in this one, as a
// program started directly would. VELSOR_ONEFILE_PARENT goes, so that an
// instance the application starts of this same executable is a whole run
// of its own, never a child of this one.
static int run_in_this_process(int argc, wchar_t **argv) {
    payload_close();
    env_unset("VELSOR_ONEFILE_PARENT");
    return run_application(argc, argv, unpack_mode_application_dll());
}

static int run_parent(const wchar_t *argv0, int argc, wchar_t **argv) {
    unpack_mode_prepare_directory();
    if (unpack_mode_keeps_directory()) {
        set_application_environment(argv0);
        return run_in_this_process(argc, argv);
    }
    payload_close();
    set_application_environment(argv0);
    DWORD exit_code = wait_for_child(launch_child());
    cleanup();
    return (int)exit_code;
}

/*-**** Child ****/

static int run_child(int argc, wchar_t **argv) {
    extract_entries(extract_as_child, target_directory, NULL);
    return run_application(argc, argv, application_dll_path());
}

// Loads the application DLL from the unpacked directory and returns what
// its run_code returns.
static int run_application(int argc, wchar_t **argv, const wchar_t *dll_path) {
    if (dll_path[0] == L'\0') {
        // An archive without entries has no application to run.
        fatal_error("Error, payload holds no application DLL.");
    }
    // The payload's own DLLs, loaded by name, before those of the system
    // and of PATH (this replaces the start's empty string, which only took
    // the current directory off the search path).
    SetDllDirectoryW(target_directory);
    AddDllDirectory(target_directory);
    HMODULE dll = LoadLibraryExW(dll_path, NULL, dll_load_flags);
    if (dll == NULL) {
        DWORD code = GetLastError();
        fatal_error_with_code("Error, load DLL.", code);
    }
    run_code_function run_code = (run_code_function)(void *)GetProcAddress(dll, "run_code");
    if (run_code == NULL) {
        fatal_error("Error, DLL entry point not found.");
    }
    return run_code(argc, argv, dll_path);
}

/*-**** Entry point ****/

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    int argc = __argc;
    wchar_t **argv = __wargv;

    SetDllDirectoryW(L"");
    attach_console();
    bool child = is_child_role();
    if (!child) {
        prepare_parent_environment();
    }
    const wchar_t *typed_argv0 = argv[0];
    const wchar_t *path_template = unpack_mode_template(target_template);
    if (!expand_path_template(target_directory, path_template, target_directory_capacity)) {
        fatal_expand_failed(path_template);
    }
    normalize_target_directory(target_directory);
    // In the cache mode the application runs in this process and gets the
    // console's events as a program started directly does.
    if (!child && !unpack_mode_keeps_directory() && !SetConsoleCtrlHandler(console_control_handler, TRUE)) {
        fatal_error("Error, failed to register signal handler.");
    }
    payload_open();
    return child ? run_child(argc, argv) : run_parent(typed_argv0, argc, argv);
}
