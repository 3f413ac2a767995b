/* The floor of a DLL entry's start: a console program that loads the DLL
 * argv[1] and returns what its run_code returns, given the arguments from
 * argv[1] on, as the launcher calls it; checking and unpacking nothing.
 * bench/later.sh times it beside the packed application. */
#include <windows.h>

typedef int(__stdcall *run_code_function)(int argc, wchar_t **argv, const wchar_t *dll_path);

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        return 90;
    }
    HMODULE dll = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    run_code_function run_code = dll == NULL ? NULL : (run_code_function)(void *)GetProcAddress(dll, "run_code");
    return run_code == NULL ? 91 : run_code(argc - 1, argv + 1, argv[1]);
}
