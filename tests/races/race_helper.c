/* The Windows half of a race, and a program to pack.

     move SIGNAL FROM TO [FROM TO]...  waits (up to 60 s) for the file SIGNAL,
                                       which the host-side watcher creates, then
                                       renames each FROM to TO with MoveFileExW,
                                       which keeps Windows' sharing rules (the
                                       host's rename would not); returns 0, or
                                       the error of the first rename that failed
     exit N                            returns N (a packed program's stand-in) */
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static const DWORD signal_wait_ms = 60000;
static const DWORD poll_ms = 1;

static int move_on_signal(int argc, wchar_t **argv) {
    for (DWORD waited = 0; GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES; waited += poll_ms) {
        if (waited >= signal_wait_ms) {
            return (int)WAIT_TIMEOUT;
        }
        Sleep(poll_ms);
    }
    for (int i = 3; i + 1 < argc; i += 2) {
        if (!MoveFileExW(argv[i], argv[i + 1], 0)) {
            return (int)GetLastError();
        }
    }
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    if (argc >= 3 && wcscmp(argv[1], L"move") == 0) {
        return move_on_signal(argc, argv);
    }
    if (argc >= 3 && wcscmp(argv[1], L"exit") == 0) {
        return (int)wcstoul(argv[2], NULL, 0);
    }
    return 99;
}
