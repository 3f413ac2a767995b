/* notes.dll: prints one of the note lists that ship beside it.
 *
 *   notes.exe [LIST]    print notes\LIST.txt (default: today), numbered;
 *                       the exit code is the number of notes, or -1 when
 *                       there is no such list.
 *
 * The lists are found through dll_path, the DLL's place in the directory the
 * executable unpacked itself to.
 */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

enum { PATH_CAPACITY = 32768, LINE_CAPACITY = 1024, NO_SUCH_LIST = -1 };

static const wchar_t DEFAULT_LIST[] = L"today";

/* Prints each non-empty line of `file` as "N. line"; returns N. */
static int print_numbered(FILE *file) {
    char line[LINE_CAPACITY];
    int count = 0;
    while (fgets(line, sizeof line, file) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] != '\0') {
            printf("%d. %s\n", ++count, line);
        }
    }
    return count;
}

__declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    static wchar_t path[PATH_CAPACITY];
    const wchar_t *list = argc > 1 ? argv[1] : DEFAULT_LIST;

    const wchar_t *last_separator = wcsrchr(dll_path, L'\\');
    int dir_length = last_separator != NULL ? (int)(last_separator - dll_path) : 0;
    int n = _snwprintf(path, PATH_CAPACITY, L"%.*ls\\notes\\%ls.txt", dir_length, dll_path, list);
    FILE *file = n > 0 && n < PATH_CAPACITY ? _wfopen(path, L"r") : NULL;
    if (file == NULL) {
        fprintf(stderr, "notes: no list '%ls'\n", list);
        return NO_SUCH_LIST;
    }
    printf("notes %s, list %ls\n", NOTES_VERSION, list);
    int count = print_numbered(file);
    fclose(file);
    return count;
}
