// An application DLL that imports from absent.dll, which its payload does
// not carry: loading it fails with "module not found".
extern "C" __declspec(dllimport) int absent_value(void);

extern "C" __declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argv;
    (void)dll_path;
    return argc + absent_value();
}
