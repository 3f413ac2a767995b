/* A minimal application DLL: exports run_code like a real application. */
#include <wchar.h>

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argv;
    (void)dll_path;
    return argc;
}
