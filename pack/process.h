// Running another program and waiting for it.
#pragma once

#include <string>
#include <vector>

namespace velsor {

// Runs `argv` (argv[0] searched on PATH) and returns its exit status; a
// program that cannot be started is a pack_error.
int run_program(const std::vector<std::string> &argv);

}  // namespace velsor
