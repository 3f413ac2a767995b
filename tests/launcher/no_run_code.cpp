// A DLL that loads fine but exports no run_code.
extern "C" __declspec(dllexport) int __stdcall run_something_else(void) { return 0; }
