#include "pack/process.h"

#include "pack/error.h"

#ifdef _WIN32
#include <process.h>
#else
#include <spawn.h>
#include <sys/wait.h>
extern char **environ;
#endif

namespace velsor {

#ifdef _WIN32
// _spawnvp joins its arguments with spaces, so each one is quoted the way
// the C runtime splits them again.
static std::string quote_argument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        return arg;
    }
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, '\\');
    out.push_back('"');
    return out;
}

int run_program(const std::vector<std::string> &argv) {
    std::vector<std::string> quoted;
    for (const auto &a : argv) {
        quoted.push_back(quote_argument(a));
    }
    std::vector<const char *> args;
    for (const auto &a : quoted) {
        args.push_back(a.c_str());
    }
    args.push_back(nullptr);
    intptr_t status = _spawnvp(_P_WAIT, argv[0].c_str(), args.data());
    if (status == -1) {
        throw pack_error("cannot run " + argv[0]);
    }
    return static_cast<int>(status);
}
#else
int run_program(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        throw pack_error("cannot run " + argv[0]);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) {
        throw pack_error("lost track of " + argv[0]);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

}  // namespace velsor
