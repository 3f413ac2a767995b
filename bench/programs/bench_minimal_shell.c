/* The smallest Windows program that imports SHELL32, as the launcher does:
 * a bare process start plus what loading the shell library costs. */
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance;
    (void)previous;
    (void)show;
    int count = 0;
    LocalFree(CommandLineToArgvW(command_line, &count));
    return 0;
}
