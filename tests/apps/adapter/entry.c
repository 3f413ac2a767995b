/* A program's entry point as it is written for an executable (wmain,
 * WinMain or wWinMain, whichever VELSOR_APP_* the build defines), built as
 * an application DLL through velsor/app.h. It prints what it was given. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#if !defined(VELSOR_APP_WMAIN)
/* The file name of the module `instance` stands for. */
static const char *module_name(HINSTANCE instance) {
    static char path[MAX_PATH];
    GetModuleFileNameA(instance, path, MAX_PATH);
    const char *slash = strrchr(path, '\\');
    return slash != NULL ? slash + 1 : path;
}
#endif

#if defined(VELSOR_APP_WMAIN)
int wmain(int argc, wchar_t **argv) {
    for (int i = 1; i < argc; i++) {
        printf("[%ls]\n", argv[i]);
    }
    return 40 + argc;
}
#elif defined(VELSOR_APP_WINMAIN)
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    printf("line=%s\nshow=%d previous=%d module=%s\n", command_line, show, previous != NULL, module_name(instance));
    return 50;
}
#else
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show) {
    printf("line=%ls\nshow=%d previous=%d module=%s\n", command_line, show, previous != NULL, module_name(instance));
    return 51;
}
#endif
