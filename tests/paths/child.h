// Running paths_child.exe from the paths tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace paths_test {

// Where the build puts paths_child.exe.
std::wstring child_path();

// Runs paths_child.exe with `args` (argument 0 is its own path).
harness::run_result run_child(const std::vector<std::wstring> &args, const harness::run_options &options = {});

// Same, with exactly `command_line` (to choose argument 0).
harness::run_result run_child_command_line(const std::wstring &command_line,
                                           const harness::run_options &options = {});

// The child's stdout split into lines, decoded from UTF-8.
std::vector<std::wstring> output_lines(const harness::run_result &result);

// The status of a process that ended abnormally (a capacity stop, an
// abort): fast fail where the processor offers it, else 3.
DWORD abnormal_end_status();

}  // namespace paths_test
