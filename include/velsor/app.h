/* velsor/app.h: an existing program as a velsor application DLL.
 *
 * Included into the source file that holds the program's entry point (with
 * `#include <velsor/app.h>` or the compiler option `-include velsor/app.h`,
 * MSVC: `/FIvelsor/app.h`), it defines the exported `run_code` that the
 * launcher calls and hands the command line to that entry point. The program
 * is then built as a DLL instead of an executable, its code unchanged, and
 * runs inside the launcher's child process.
 *
 * Which entry point the program has, chosen by defining one macro before the
 * header (or with -D / /D); main is the default:
 *
 *   VELSOR_APP_MAIN      int main(int argc, char **argv)     arguments as UTF-8
 *   VELSOR_APP_WMAIN     int wmain(int argc, wchar_t **argv)
 *   VELSOR_APP_WINMAIN   int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
 *   VELSOR_APP_WWINMAIN  int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
 *
 * For WinMain and wWinMain, the instance handle is the DLL's own (its
 * resources are in the DLL), the command line is the arguments after
 * argument 0, quoted again so that CommandLineToArgvW splits it into the
 * same arguments, and the show command is the one the process was started
 * with (STARTF_USESHOWWINDOW), SW_SHOWDEFAULT otherwise. main and WinMain
 * get UTF-8: a program that passes those strings to the C runtime's or
 * Windows' narrow file functions needs them to take UTF-8 too.
 *
 * Include it in one source file only: it defines a function. The entry
 * point's return value is run_code's, so it becomes the exit code; exit()
 * works as in an executable.
 */
#ifndef VELSOR_APP_H
#define VELSOR_APP_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#if !defined(VELSOR_APP_MAIN) && !defined(VELSOR_APP_WMAIN) && !defined(VELSOR_APP_WINMAIN) && \
    !defined(VELSOR_APP_WWINMAIN)
#define VELSOR_APP_MAIN
#endif

/* main cannot be declared extern "C" in C++; the others are declared
 * extern "C" so that the program's own definition gets C linkage too. */
#if defined(VELSOR_APP_MAIN)
int main(int argc, char **argv);
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VELSOR_APP_WMAIN)
int wmain(int argc, wchar_t **argv);
#elif defined(VELSOR_APP_WINMAIN)
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);
#elif defined(VELSOR_APP_WWINMAIN)
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show);
#endif

#if defined(VELSOR_APP_WINMAIN) || defined(VELSOR_APP_WWINMAIN)
/* The start of this module's image: its HINSTANCE. */
extern IMAGE_DOS_HEADER __ImageBase;
#endif

#if defined(VELSOR_APP_MAIN) || defined(VELSOR_APP_WINMAIN)
/* A new UTF-8 copy of `wide`, or NULL. */
static char *velsor_app_utf8(const wchar_t *wide) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, NULL, 0, NULL, NULL);
    char *text = bytes > 0 ? (char *)malloc((size_t)bytes) : NULL;
    if (text != NULL && WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, bytes, NULL, NULL) != bytes) {
        free(text);
        return NULL;
    }
    return text;
}
#endif

#if defined(VELSOR_APP_WINMAIN) || defined(VELSOR_APP_WWINMAIN)
/* Appends `arg` to `out` (NULL: only counts) quoted the way
 * CommandLineToArgvW reads it back; returns the number of units. */
static size_t velsor_app_quote(const wchar_t *arg, wchar_t *out) {
    size_t n = 0;
    int plain = arg[0] != L'\0' && wcspbrk(arg, L" \t\n\v\"") == NULL;
    if (!plain && out != NULL) {
        out[n] = L'"';
    }
    n += plain ? 0 : 1;
    for (const wchar_t *p = arg;; p++) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        /* Backslashes are doubled only before a quote, also the closing one. */
        size_t copies = (!plain && (*p == L'"' || *p == L'\0')) ? 2 * backslashes + (*p == L'"') : backslashes;
        for (size_t i = 0; i < copies; i++, n++) {
            if (out != NULL) {
                out[n] = L'\\';
            }
        }
        if (*p == L'\0') {
            break;
        }
        if (out != NULL) {
            out[n] = *p;
        }
        n++;
    }
    if (!plain && out != NULL) {
        out[n] = L'"';
    }
    return n + (plain ? 0 : 1);
}

/* Arguments 1 and on as one command line, or NULL. */
static wchar_t *velsor_app_command_line(int argc, wchar_t **argv) {
    size_t units = 1;
    for (int i = 1; i < argc; i++) {
        units += velsor_app_quote(argv[i], NULL) + 1;
    }
    wchar_t *line = (wchar_t *)malloc(units * sizeof(wchar_t));
    size_t used = 0;
    for (int i = 1; line != NULL && i < argc; i++) {
        if (i > 1) {
            line[used++] = L' ';
        }
        used += velsor_app_quote(argv[i], line + used);
    }
    if (line != NULL) {
        line[used] = L'\0';
    }
    return line;
}

static int velsor_app_show_command(void) {
    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? (int)startup.wShowWindow : SW_SHOWDEFAULT;
}
#endif

#if !defined(VELSOR_APP_WMAIN)
static int velsor_app_out_of_memory(void) {
    fputs("out of memory converting the command line\n", stderr);
    return EXIT_FAILURE;
}
#endif

/* The entry point the launcher calls: the program's, with its arguments. */
__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)dll_path;
#if defined(VELSOR_APP_MAIN)
    /* Kept for the rest of the run, as a program's argv is. */
    char **utf8 = (char **)calloc((size_t)argc + 1, sizeof(char *));
    for (int i = 0; utf8 != NULL && i < argc; i++) {
        if ((utf8[i] = velsor_app_utf8(argv[i])) == NULL) {
            return velsor_app_out_of_memory();
        }
    }
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic" /* C++ does not let a program call main; compilers do */
#endif
    int result = utf8 != NULL ? main(argc, utf8) : velsor_app_out_of_memory();
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#elif defined(VELSOR_APP_WMAIN)
    int result = wmain(argc, argv);
#else
    HINSTANCE instance = (HINSTANCE)&__ImageBase;
    wchar_t *line = velsor_app_command_line(argc, argv);
#if defined(VELSOR_APP_WINMAIN)
    char *utf8_line = line != NULL ? velsor_app_utf8(line) : NULL;
    int result = utf8_line != NULL ? WinMain(instance, NULL, utf8_line, velsor_app_show_command())
                                   : velsor_app_out_of_memory();
#else
    int result = line != NULL ? wWinMain(instance, NULL, line, velsor_app_show_command()) : velsor_app_out_of_memory();
#endif
#endif
    fflush(NULL);
    return result;
}

#ifdef __cplusplus
}
#endif

#endif
