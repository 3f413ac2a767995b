// A scripted stand-in for the console, file, stream and descriptor calls of
// launcher/console.cpp.
//
// The test build of console.cpp has this header forced in front of it
// (-include) with VELSOR_CONSOLE_STANDIN defined: the system headers are
// read first, then the names of the calls are defined to the stand-in's
// functions, so console.cpp's later includes change nothing and each of its
// calls lands here. The stand-in plays one scripted situation (a small world
// of handles, descriptors and a console) and writes one transcript line per
// call: its arguments and its result.
//
// Handles are shown by name: "NULL", "INVALID", the names the situation
// gives ("pipe.out"; a name starting with "con.in" is the console's input,
// any other "con." name its output), "NUL#n", "CONOUT$#n" and "CONIN$#n" for
// handles that the stand-in opens, "dup(x)" for a duplicate of x.
#pragma once

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <string>
#include <vector>

namespace standin {

// How AttachConsole(ATTACH_PARENT_PROCESS) turns out.
enum class attach {
    fails,  // no console to attach to
    bare,   // attached; the standard handles stay as they are
    fills,  // attached; a missing standard handle becomes con.in, con.out or con.err
};

// Streams, as bits of situation::nul_refused.
constexpr unsigned stdin_bit = 1, stdout_bit = 2, stderr_bit = 4;

struct situation {
    attach attach_result = attach::fails;
    // Standard handles at start (stdin, stdout, stderr): "NULL", "INVALID" or
    // a name. The runtime gave a stream with a valid handle the descriptor 0,
    // 1 or 2 on it; a stream without one has the descriptor -2.
    const char *handles[3] = {"NULL", "NULL", "NULL"};
    DWORD output_mode = 0x3;  // one mode for all the console's output handles
    DWORD input_mode = 0x7;
    // SetConsoleMode fails when it is asked for ENABLE_VIRTUAL_TERMINAL_PROCESSING
    // (output) or ENABLE_VIRTUAL_TERMINAL_INPUT (input).
    bool refuses_virtual_terminal = false;
    unsigned nul_refused = 0;  // streams whose freopen on "NUL" fails
};

// Starts a new transcript in a fresh world.
void play(const situation &s);
const std::vector<std::string> &transcript();
// The process's standard handles (stdin, stdout, stderr), " (closed)" added
// to a handle that has been closed.
std::vector<std::string> standard_handles();

}  // namespace standin

BOOL standin_AttachConsole(DWORD process_id);
HANDLE standin_GetStdHandle(DWORD which);
BOOL standin_SetStdHandle(DWORD which, HANDLE handle);
HANDLE standin_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE template_file);
BOOL standin_GetConsoleMode(HANDLE handle, LPDWORD mode);
BOOL standin_SetConsoleMode(HANDLE handle, DWORD mode);
BOOL standin_CloseHandle(HANDLE handle);
int standin__fileno(FILE *stream);
FILE *standin_freopen(const char *name, const char *mode, FILE *stream);
FILE *standin__wfreopen(const wchar_t *name, const wchar_t *mode, FILE *stream);
int standin__open_osfhandle(intptr_t handle, int flags);
int standin__dup2(int source, int target);
int standin__close(int descriptor);
int standin__setmode(int descriptor, int mode);
int standin_setvbuf(FILE *stream, char *buffer, int mode, size_t size);
void standin_clearerr(FILE *stream);
intptr_t standin__get_osfhandle(int descriptor);

#ifdef VELSOR_CONSOLE_STANDIN
#define AttachConsole standin_AttachConsole
#define GetStdHandle standin_GetStdHandle
#define SetStdHandle standin_SetStdHandle
#define CreateFileW standin_CreateFileW
#define CloseHandle standin_CloseHandle
#define GetConsoleMode standin_GetConsoleMode
#define SetConsoleMode standin_SetConsoleMode
#define _fileno standin__fileno
#define freopen standin_freopen
#define _wfreopen standin__wfreopen
#define _open_osfhandle standin__open_osfhandle
#define _dup2 standin__dup2
#define _close standin__close
#define _setmode standin__setmode
#define setvbuf standin_setvbuf
#define clearerr standin_clearerr
#define _get_osfhandle standin__get_osfhandle
#endif
