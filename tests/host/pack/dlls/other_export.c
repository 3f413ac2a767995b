/* A DLL that exports something, but not run_code. */
__declspec(dllexport) int run_something_else(void) { return 7; }
