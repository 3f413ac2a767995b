/* The benchmarks' application DLL's code, bench_app.c unchanged, built as a
 * plain console executable: main calls run_code as the launcher would. */
#include "bench_app.c"

int wmain(int argc, wchar_t **argv) { return run_code(argc, argv, NULL); }
