// A sample application DLL for velsor.
//
// Prints its arguments, where it was unpacked, the VELSOR_ variables and a
// data file that ships beside it, then returns the exit code given as its
// first argument (0 without one).
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static void print_wide(const char *label, const wchar_t *text) {
    char utf8[4 * MAX_PATH * 4];
    int n = WideCharToMultiByte(CP_UTF8, 0, text ? text : L"(unset)", -1, utf8, sizeof utf8, NULL, NULL);
    printf("%s%s\n", label, n > 0 ? utf8 : "(unprintable)");
}

static void print_variable(const wchar_t *name) {
    wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    char label[64];
    snprintf(label, sizeof label, "%ls = ", name);
    print_wide(label, n > 0 && n < 32768 ? value : NULL);
}

static void print_data_file(const wchar_t *dll_path) {
    wchar_t path[MAX_PATH * 4];
    wcsncpy(path, dll_path, MAX_PATH * 4 - 1);
    path[MAX_PATH * 4 - 1] = L'\0';
    wchar_t *slash = wcsrchr(path, L'\\');
    if (slash == NULL) {
        return;
    }
    wcscpy(slash + 1, L"data\\greeting.txt");
    FILE *file = _wfopen(path, L"rb");
    if (file == NULL) {
        printf("data file: missing\n");
        return;
    }
    char line[256];
    while (fgets(line, sizeof line, file) != NULL) {
        printf("data file: %s", line);
    }
    fclose(file);
}

extern "C" __declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    printf("hello from %d argument(s)\n", argc);
    for (int i = 0; i < argc; i++) {
        char label[32];
        snprintf(label, sizeof label, "argv[%d] = ", i);
        print_wide(label, argv[i]);
    }
    print_wide("dll path = ", dll_path);
    print_variable(L"VELSOR_ONEFILE_DIRECTORY");
    print_variable(L"VELSOR_ORIGINAL_ARGV0");
    print_variable(L"VELSOR_ONEFILE_PARENT");
    print_data_file(dll_path);
    return argc > 1 ? (int)wcstoul(argv[1], NULL, 0) : 0;
}
