/* A 64-bit executable (not a DLL) that nevertheless exports run_code. */
#include <wchar.h>

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argv;
    (void)dll_path;
    return argc;
}

int main(void) { return 0; }
