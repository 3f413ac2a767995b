/* A DLL that an application loads by name, and that an attacker's copy
   imitates: PLUGIN_ID tells the copies apart. It also serves the attacker
   as an application DLL, its run_code returning PLUGIN_ID. */
#include <windows.h>

__declspec(dllexport) int plugin_id(void) { return PLUGIN_ID; }

__declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argc;
    (void)argv;
    (void)dll_path;
    return PLUGIN_ID;
}
