// attach_console() against the scripted stand-in (console_standin.h): one row
// per console situation, each with the exact transcript of the console,
// file, stream and descriptor calls it must make (arguments, results, order)
// and the standard handles it must leave behind. Situations that Wine cannot
// produce (a console to attach to, console modes) are played here.
//
// _fileno is answered by the stand-in but not written to the transcript:
// its answers show up as the descriptors of the calls that follow.
//
// Flags as they appear: 0x4001 and 0x4000 bind descriptors for output and
// input, 0x40000 is UTF-8 text translation; CreateFileW gets GENERIC_READ |
// GENERIC_WRITE (0xc0000000), FILE_SHARE_READ | FILE_SHARE_WRITE (0x3), an
// inheritable SECURITY_ATTRIBUTES {size 24, no descriptor, inherit}, and
// OPEN_EXISTING (3).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/console.h"
#include "tests/console/console_standin.h"

namespace {

using standin::attach;

struct row {
    const char *name;
    standin::situation world;
    std::vector<std::string> calls;
    std::vector<std::string> handles;  // standard input, output, error afterwards
};

std::string lines(const std::vector<std::string> &list) {
    std::string text;
    for (const std::string &line : list) {
        text += line + "\n";
    }
    return text;
}

// A binding closes the handle that it wraps (with the temporary descriptor),
// so the console modes of step A go to the stream's duplicate of it.
const row rows[] = {
    {"console without standard handles: bound to the console's handles",
     {.attach_result = attach::fills},
     {
         "AttachConsole(0xffffffff) -> 1",
         "freopen(\"NUL\", \"w\", stdout) -> stdout, fd 3 = NUL#1",
         "GetStdHandle(STD_OUTPUT_HANDLE) -> con.out",
         "_open_osfhandle(con.out, 0x4001) -> 4",
         "_dup2(4, 3) -> 0, fd 3 = dup(con.out)",
         "_close(4) -> 0, con.out closed",
         "_setmode(3, 0x40000) -> 0x4000",
         "_get_osfhandle(3) -> dup(con.out)",
         "GetConsoleMode(dup(con.out)) -> 1, 0x3",
         "SetConsoleMode(dup(con.out), 0x7) -> 1",
         "clearerr(stdout)",
         "freopen(\"NUL\", \"w\", stderr) -> stderr, fd 4 = NUL#2",
         "GetStdHandle(STD_ERROR_HANDLE) -> con.err",
         "_open_osfhandle(con.err, 0x4001) -> 5",
         "_dup2(5, 4) -> 0, fd 4 = dup(con.err)",
         "_close(5) -> 0, con.err closed",
         "_setmode(4, 0x40000) -> 0x4000",
         "_get_osfhandle(4) -> dup(con.err)",
         "GetConsoleMode(dup(con.err)) -> 1, 0x7",
         "SetConsoleMode(dup(con.err), 0x7) -> 1",
         "clearerr(stderr)",
         "freopen(\"NUL\", \"r\", stdin) -> stdin, fd 5 = NUL#3",
         "GetStdHandle(STD_INPUT_HANDLE) -> con.in",
         "_open_osfhandle(con.in, 0x4000) -> 6",
         "_dup2(6, 5) -> 0, fd 5 = dup(con.in)",
         "_close(6) -> 0, con.in closed",
         "_setmode(5, 0x40000) -> 0x4000",
         "_get_osfhandle(5) -> dup(con.in)",
         "GetConsoleMode(dup(con.in)) -> 1, 0x7",
         "SetConsoleMode(dup(con.in), 0x207) -> 1",
         "clearerr(stdin)",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(3) -> dup(con.out)",
         "SetStdHandle(STD_OUTPUT_HANDLE, dup(con.out)) -> 1",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(4) -> dup(con.err)",
         "SetStdHandle(STD_ERROR_HANDLE, dup(con.err)) -> 1",
         "_get_osfhandle(5) -> dup(con.in)",
         "SetStdHandle(STD_INPUT_HANDLE, dup(con.in)) -> 1",
     },
     {"dup(con.in)", "dup(con.out)", "dup(con.err)"}},

    {"console, stdout redirected to a file: stdout keeps its descriptor and mode",
     {.attach_result = attach::fills, .handles = {"NULL", "file.out", "NULL"}},
     {
         "AttachConsole(0xffffffff) -> 1",
         "freopen(\"NUL\", \"w\", stderr) -> stderr, fd 3 = NUL#1",
         "GetStdHandle(STD_ERROR_HANDLE) -> con.err",
         "_open_osfhandle(con.err, 0x4001) -> 4",
         "_dup2(4, 3) -> 0, fd 3 = dup(con.err)",
         "_close(4) -> 0, con.err closed",
         "_setmode(3, 0x40000) -> 0x4000",
         "_get_osfhandle(3) -> dup(con.err)",
         "GetConsoleMode(dup(con.err)) -> 1, 0x3",
         "SetConsoleMode(dup(con.err), 0x7) -> 1",
         "clearerr(stderr)",
         "freopen(\"NUL\", \"r\", stdin) -> stdin, fd 4 = NUL#2",
         "GetStdHandle(STD_INPUT_HANDLE) -> con.in",
         "_open_osfhandle(con.in, 0x4000) -> 5",
         "_dup2(5, 4) -> 0, fd 4 = dup(con.in)",
         "_close(5) -> 0, con.in closed",
         "_setmode(4, 0x40000) -> 0x4000",
         "_get_osfhandle(4) -> dup(con.in)",
         "GetConsoleMode(dup(con.in)) -> 1, 0x7",
         "SetConsoleMode(dup(con.in), 0x207) -> 1",
         "clearerr(stdin)",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(1) -> file.out",
         "SetStdHandle(STD_OUTPUT_HANDLE, file.out) -> 1",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(3) -> dup(con.err)",
         "SetStdHandle(STD_ERROR_HANDLE, dup(con.err)) -> 1",
         "_get_osfhandle(4) -> dup(con.in)",
         "SetStdHandle(STD_INPUT_HANDLE, dup(con.in)) -> 1",
     },
     {"dup(con.in)", "file.out", "dup(con.err)"}},

    {"child with valid handles, attached: streams kept",
     {.attach_result = attach::bare, .handles = {"pipe.in", "pipe.out", "pipe.err"}},
     {
         "AttachConsole(0xffffffff) -> 1",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(1) -> pipe.out",
         "SetStdHandle(STD_OUTPUT_HANDLE, pipe.out) -> 1",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(2) -> pipe.err",
         "SetStdHandle(STD_ERROR_HANDLE, pipe.err) -> 1",
         "_get_osfhandle(0) -> pipe.in",
         "SetStdHandle(STD_INPUT_HANDLE, pipe.in) -> 1",
     },
     {"pipe.in", "pipe.out", "pipe.err"}},

    {"child with valid handles, not attached: streams kept",
     {.attach_result = attach::fails, .handles = {"pipe.in", "pipe.out", "pipe.err"}},
     {
         "AttachConsole(0xffffffff) -> 0",
         "GetStdHandle(STD_OUTPUT_HANDLE) -> pipe.out",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(1) -> pipe.out",
         "SetStdHandle(STD_OUTPUT_HANDLE, pipe.out) -> 1",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(2) -> pipe.err",
         "SetStdHandle(STD_ERROR_HANDLE, pipe.err) -> 1",
         "_get_osfhandle(0) -> pipe.in",
         "SetStdHandle(STD_INPUT_HANDLE, pipe.in) -> 1",
     },
     {"pipe.in", "pipe.out", "pipe.err"}},

    {"no console, null handles: invalid standard handles",
     {.attach_result = attach::fails, .handles = {"NULL", "NULL", "NULL"}},
     {
         "AttachConsole(0xffffffff) -> 0",
         "GetStdHandle(STD_OUTPUT_HANDLE) -> NULL",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(-2) -> INVALID",
         "SetStdHandle(STD_OUTPUT_HANDLE, INVALID) -> 1",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(-2) -> INVALID",
         "SetStdHandle(STD_ERROR_HANDLE, INVALID) -> 1",
         "_get_osfhandle(-2) -> INVALID",
         "SetStdHandle(STD_INPUT_HANDLE, INVALID) -> 1",
     },
     {"INVALID", "INVALID", "INVALID"}},

    {"no console, invalid handles: invalid standard handles",
     {.attach_result = attach::fails, .handles = {"INVALID", "INVALID", "INVALID"}},
     {
         "AttachConsole(0xffffffff) -> 0",
         "GetStdHandle(STD_OUTPUT_HANDLE) -> INVALID",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(-2) -> INVALID",
         "SetStdHandle(STD_OUTPUT_HANDLE, INVALID) -> 1",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(-2) -> INVALID",
         "SetStdHandle(STD_ERROR_HANDLE, INVALID) -> 1",
         "_get_osfhandle(-2) -> INVALID",
         "SetStdHandle(STD_INPUT_HANDLE, INVALID) -> 1",
     },
     {"INVALID", "INVALID", "INVALID"}},

    {"no console, only stdout valid: stdin and stderr stay on NUL",
     {.attach_result = attach::fails, .handles = {"INVALID", "pipe.out", "NULL"}},
     {
         "AttachConsole(0xffffffff) -> 0",
         "GetStdHandle(STD_OUTPUT_HANDLE) -> pipe.out",
         "freopen(\"NUL\", \"w\", stderr) -> stderr, fd 3 = NUL#1",
         "GetStdHandle(STD_ERROR_HANDLE) -> NULL",
         "clearerr(stderr)",
         "freopen(\"NUL\", \"r\", stdin) -> stdin, fd 4 = NUL#2",
         "GetStdHandle(STD_INPUT_HANDLE) -> INVALID",
         "clearerr(stdin)",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(1) -> pipe.out",
         "SetStdHandle(STD_OUTPUT_HANDLE, pipe.out) -> 1",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(3) -> NUL#1",
         "SetStdHandle(STD_ERROR_HANDLE, NUL#1) -> 1",
         "_get_osfhandle(4) -> NUL#2",
         "SetStdHandle(STD_INPUT_HANDLE, NUL#2) -> 1",
     },
     {"NUL#2", "pipe.out", "NUL#1"}},

    {"streams still without descriptors: console devices become the standard handles",
     {.attach_result = attach::bare, .nul_refused = standin::stdin_bit | standin::stdout_bit | standin::stderr_bit},
     {
         "AttachConsole(0xffffffff) -> 1",
         "freopen(\"NUL\", \"w\", stdout) -> NULL",
         "GetStdHandle(STD_OUTPUT_HANDLE) -> NULL",
         "clearerr(stdout)",
         "freopen(\"NUL\", \"w\", stderr) -> NULL",
         "GetStdHandle(STD_ERROR_HANDLE) -> NULL",
         "clearerr(stderr)",
         "freopen(\"NUL\", \"r\", stdin) -> NULL",
         "GetStdHandle(STD_INPUT_HANDLE) -> NULL",
         "clearerr(stdin)",
         "CreateFileW(L\"CONOUT$\", 0xc0000000, 0x3, {24, NULL, 1}, 3, 0x0, NULL) -> CONOUT$#1",
         "_wfreopen(L\"CONOUT$\", L\"wb\", stdout) -> stdout, fd 3 = CONOUT$#2",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_setmode(3, 0x40000) -> 0x4000",
         "GetConsoleMode(CONOUT$#1) -> 1, 0x3",
         "SetConsoleMode(CONOUT$#1, 0x7) -> 1",
         "_get_osfhandle(3) -> CONOUT$#2",
         "GetConsoleMode(CONOUT$#2) -> 1, 0x7",
         "SetConsoleMode(CONOUT$#2, 0x7) -> 1",
         "SetStdHandle(STD_OUTPUT_HANDLE, CONOUT$#1) -> 1",
         "CreateFileW(L\"CONOUT$\", 0xc0000000, 0x3, {24, NULL, 1}, 3, 0x0, NULL) -> CONOUT$#3",
         "_wfreopen(L\"CONOUT$\", L\"wb\", stderr) -> stderr, fd 4 = CONOUT$#4",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_setmode(4, 0x40000) -> 0x4000",
         "GetConsoleMode(CONOUT$#3) -> 1, 0x7",
         "SetConsoleMode(CONOUT$#3, 0x7) -> 1",
         "_get_osfhandle(4) -> CONOUT$#4",
         "GetConsoleMode(CONOUT$#4) -> 1, 0x7",
         "SetConsoleMode(CONOUT$#4, 0x7) -> 1",
         "SetStdHandle(STD_ERROR_HANDLE, CONOUT$#3) -> 1",
         "CreateFileW(L\"CONIN$\", 0xc0000000, 0x3, {24, NULL, 1}, 3, 0x0, NULL) -> CONIN$#1",
         "GetConsoleMode(CONIN$#1) -> 1, 0x7",
         "_wfreopen(L\"CONIN$\", L\"rb\", stdin) -> stdin, fd 5 = CONIN$#2",
         "_setmode(5, 0x40000) -> 0x4000",
         "GetConsoleMode(CONIN$#1) -> 1, 0x7",
         "SetConsoleMode(CONIN$#1, 0x207) -> 1",
         "_get_osfhandle(5) -> CONIN$#2",
         "GetConsoleMode(CONIN$#2) -> 1, 0x207",
         "SetConsoleMode(CONIN$#2, 0x207) -> 1",
         "SetStdHandle(STD_INPUT_HANDLE, CONIN$#1) -> 1",
     },
     {"CONIN$#1", "CONOUT$#1", "CONOUT$#3"}},

    {"stdin still without a descriptor, input mode with 0x100: stdin and its handle left alone",
     {.attach_result = attach::fills,
      .handles = {"NULL", "pipe.out", "pipe.err"},
      .input_mode = 0x1f7,
      .nul_refused = standin::stdin_bit},
     {
         "AttachConsole(0xffffffff) -> 1",
         "freopen(\"NUL\", \"r\", stdin) -> NULL",
         "GetStdHandle(STD_INPUT_HANDLE) -> con.in",
         "_open_osfhandle(con.in, 0x4000) -> 3",
         "_dup2(3, -1) -> -1",  // no duplicate: descriptor 3 keeps con.in open
         "_setmode(-1, 0x40000) -> -1",
         "_get_osfhandle(-1) -> INVALID",
         "GetConsoleMode(INVALID) -> 0",
         "clearerr(stdin)",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(1) -> pipe.out",
         "SetStdHandle(STD_OUTPUT_HANDLE, pipe.out) -> 1",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_get_osfhandle(2) -> pipe.err",
         "SetStdHandle(STD_ERROR_HANDLE, pipe.err) -> 1",
         "CreateFileW(L\"CONIN$\", 0xc0000000, 0x3, {24, NULL, 1}, 3, 0x0, NULL) -> CONIN$#1",
         "GetConsoleMode(CONIN$#1) -> 1, 0x1f7",
         "CloseHandle(CONIN$#1) -> 1",  // opened only to read the mode
     },
     {"con.in", "pipe.out", "pipe.err"}},

    {"console refusing virtual terminal processing: fallback modes added",
     {.attach_result = attach::bare,
      .output_mode = 0x10,
      .input_mode = 0x6,
      .refuses_virtual_terminal = true,
      .nul_refused = standin::stdin_bit | standin::stdout_bit | standin::stderr_bit},
     {
         "AttachConsole(0xffffffff) -> 1",
         "freopen(\"NUL\", \"w\", stdout) -> NULL",
         "GetStdHandle(STD_OUTPUT_HANDLE) -> NULL",
         "clearerr(stdout)",
         "freopen(\"NUL\", \"w\", stderr) -> NULL",
         "GetStdHandle(STD_ERROR_HANDLE) -> NULL",
         "clearerr(stderr)",
         "freopen(\"NUL\", \"r\", stdin) -> NULL",
         "GetStdHandle(STD_INPUT_HANDLE) -> NULL",
         "clearerr(stdin)",
         "CreateFileW(L\"CONOUT$\", 0xc0000000, 0x3, {24, NULL, 1}, 3, 0x0, NULL) -> CONOUT$#1",
         "_wfreopen(L\"CONOUT$\", L\"wb\", stdout) -> stdout, fd 3 = CONOUT$#2",
         "setvbuf(stdout, NULL, _IONBF, 0) -> 0",
         "_setmode(3, 0x40000) -> 0x4000",
         "GetConsoleMode(CONOUT$#1) -> 1, 0x10",
         "SetConsoleMode(CONOUT$#1, 0x17) -> 0",
         "SetConsoleMode(CONOUT$#1, 0x13) -> 1",
         "_get_osfhandle(3) -> CONOUT$#2",
         "GetConsoleMode(CONOUT$#2) -> 1, 0x13",
         "SetConsoleMode(CONOUT$#2, 0x17) -> 0",
         "SetConsoleMode(CONOUT$#2, 0x13) -> 1",
         "SetStdHandle(STD_OUTPUT_HANDLE, CONOUT$#1) -> 1",
         "CreateFileW(L\"CONOUT$\", 0xc0000000, 0x3, {24, NULL, 1}, 3, 0x0, NULL) -> CONOUT$#3",
         "_wfreopen(L\"CONOUT$\", L\"wb\", stderr) -> stderr, fd 4 = CONOUT$#4",
         "setvbuf(stderr, NULL, _IONBF, 0) -> 0",
         "_setmode(4, 0x40000) -> 0x4000",
         "GetConsoleMode(CONOUT$#3) -> 1, 0x13",
         "SetConsoleMode(CONOUT$#3, 0x17) -> 0",
         "SetConsoleMode(CONOUT$#3, 0x13) -> 1",
         "_get_osfhandle(4) -> CONOUT$#4",
         "GetConsoleMode(CONOUT$#4) -> 1, 0x13",
         "SetConsoleMode(CONOUT$#4, 0x17) -> 0",
         "SetConsoleMode(CONOUT$#4, 0x13) -> 1",
         "SetStdHandle(STD_ERROR_HANDLE, CONOUT$#3) -> 1",
         "CreateFileW(L\"CONIN$\", 0xc0000000, 0x3, {24, NULL, 1}, 3, 0x0, NULL) -> CONIN$#1",
         "GetConsoleMode(CONIN$#1) -> 1, 0x6",
         "_wfreopen(L\"CONIN$\", L\"rb\", stdin) -> stdin, fd 5 = CONIN$#2",
         "_setmode(5, 0x40000) -> 0x4000",
         "GetConsoleMode(CONIN$#1) -> 1, 0x6",
         "SetConsoleMode(CONIN$#1, 0x207) -> 0",
         "SetConsoleMode(CONIN$#1, 0x7) -> 1",
         "_get_osfhandle(5) -> CONIN$#2",
         "GetConsoleMode(CONIN$#2) -> 1, 0x7",
         "SetConsoleMode(CONIN$#2, 0x207) -> 0",
         "SetConsoleMode(CONIN$#2, 0x7) -> 1",
         "SetStdHandle(STD_INPUT_HANDLE, CONIN$#1) -> 1",
     },
     {"CONIN$#1", "CONOUT$#1", "CONOUT$#3"}},
};

TEST(ConsoleStandin, EachSituationGivesItsCallsAndStandardHandles) {
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        standin::play(r.world);
        attach_console();
        EXPECT_EQ(lines(standin::transcript()), lines(r.calls));
        EXPECT_EQ(standin::standard_handles(), r.handles);
    }
}

}  // namespace
