// Process harness for the Windows tests: start real executables, capture
// their output, read their full 32-bit exit codes.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// A Linux path as Wine shows it (the root is drive Z:).
std::wstring windows_path(const std::string &linux_path);

// A file in the Windows build's bin directory (where packed executables go).
std::wstring bin_path(const std::wstring &name);

std::wstring widen(const std::string &utf8);
std::string narrow(const std::wstring &wide);

struct run_options {
    // Changes to the inherited environment; a missing value removes the variable.
    std::vector<std::pair<std::wstring, std::optional<std::wstring>>> environment;
    DWORD timeout_ms = 120000;
    std::wstring current_directory;  // empty: inherited
    DWORD creation_flags = 0;
    bool capture = true;  // false: the child inherits this process's standard handles
};

struct run_result {
    DWORD exit_code = 0;
    std::string out;  // bytes the child wrote to stdout
    std::string err;  // and to stderr
    bool timed_out = false;
    DWORD process_id = 0;
};

// Starts `exe` with exactly `command_line` and waits for it. A child still
// running after the timeout is terminated (timed_out is then set).
run_result run_command_line(const std::wstring &exe, const std::wstring &command_line, const run_options &options = {});

// Starts `exe` without waiting and without capturing its output; returns
// its process handle (null on failure). The caller closes it.
HANDLE start(const std::wstring &exe, const std::vector<std::wstring> &args, const run_options &options = {});

// Same, with a command line quoted from `args` (argument 0 is `exe`).
run_result run(const std::wstring &exe, const std::vector<std::wstring> &args, const run_options &options = {});

// The quoting that CommandLineToArgvW and the C runtime undo.
std::wstring quote_argument(const std::wstring &argument);

// Windows' own split of a command line (CommandLineToArgvW).
std::vector<std::wstring> split_command_line(const std::wstring &command_line);

// The temporary directory without its trailing backslash.
std::wstring temp_directory();

// Names of the onefile_ directories in the temporary directory.
std::vector<std::wstring> onefile_directories();

// Those of them whose name starts with the given parent's process ID.
std::vector<std::wstring> onefile_directories_of(DWORD parent_pid);

// Running processes whose executable file is named `name` (-1 and a test
// failure when no process snapshot can be taken).
int processes_named(const std::wstring &name);

// A fresh empty directory for one test, and its removal (links in it are
// removed as links, never followed).
std::wstring make_scratch_directory(const std::wstring &prefix);
void remove_tree(const std::wstring &path);

// Wine cannot make a link itself (CreateSymbolicLinkW does nothing there),
// so a directory link is planted as a symbolic link of the host, made by
// the host's ln; Wine lists it as a directory with the reparse-point
// attribute. True when the link is there afterwards.
bool plant_directory_link(const std::wstring &link, const std::wstring &target);

// The host's name for a path under Wine (empty elsewhere), for host
// programs that a test starts (Z:\bin\ln, Z:\usr\bin\python3).
std::wstring host_path(const std::wstring &path);

// Removes such a link itself, through the host's rm (Wine cannot).
void remove_host_link(const std::wstring &link);

// The whole file; empty when it cannot be opened. Reads also a file that has
// just been renamed into place (see harness.cpp).
std::string read_file(const std::wstring &path);

// Writes `bytes` as the whole file at `path`; false when it cannot.
bool write_file(const std::wstring &path, const std::string &bytes);

// The whole file as UTF-16 text (reports, records); empty as read_file.
std::wstring read_utf16_file(const std::wstring &path);

// The program that the record of the cached directory `cached` names, as
// the launcher spells it (its final path, short names where there are any).
std::wstring recorded_program(const std::wstring &cached);

// Every file below `root`, as paths relative to it, in the order found.
std::vector<std::wstring> list_files(const std::wstring &root);
bool path_exists(const std::wstring &path);

}  // namespace harness
