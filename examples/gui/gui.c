/* A sample windowed application DLL for velsor.
 *
 * Opens the window "velsor GUI example": the directory the application was
 * unpacked to, a list view of the files in it, a status bar with the exit
 * code and the number of files, and a progress bar while a --close-after
 * countdown runs. Returns the exit code when the window is closed.
 *
 *   --exit-code N     return N on close (decimal or 0x hex, 32 bits; default 0)
 *   --close-after MS  close the window by itself after MS milliseconds
 *
 * Bad arguments give one line on stderr and exit code 2, without a window.
 */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#define WINDOW_TITLE L"velsor GUI example"
#define WINDOW_CLASS L"velsor_gui_example"
#define EXIT_BAD_ARGUMENTS 2
#define CLOSE_TIMER_ID 1
#define TICK_TIMER_ID 2
#define TICK_MS 50
#define MAX_LISTED_FILES 2000
#define PATH_CAPACITY 32768
#define MARGIN 8

extern IMAGE_DOS_HEADER __ImageBase; /* this DLL's own module */

/*-**** State of the one window ****/

static wchar_t app_directory[PATH_CAPACITY];
static unsigned long exit_code;
static unsigned long close_after_ms; /* 0: stay open */
static ULONGLONG opened_at;
static HWND path_label, file_list, progress_bar, status_bar;
static HFONT ui_font;
static int listed_files;

/*-**** Command line ****/

/* An unsigned number of up to 32 bits, decimal or with a 0x prefix, filling
 * all of `text`; false otherwise. */
static BOOL parse_u32(const wchar_t *text, unsigned long *value) {
    int base = 10;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text += 2;
    }
    if (!iswxdigit(text[0])) { /* no sign, no space, not empty */
        return FALSE;
    }
    wchar_t *end = NULL;
    unsigned long long n = wcstoull(text, &end, base);
    if (*end != L'\0' || n > 0xFFFFFFFFull) {
        return FALSE;
    }
    *value = (unsigned long)n;
    return TRUE;
}

static BOOL parse_arguments(int argc, wchar_t **argv) {
    for (int i = 1; i < argc; i++) {
        unsigned long *target = NULL;
        if (wcscmp(argv[i], L"--exit-code") == 0) {
            target = &exit_code;
        } else if (wcscmp(argv[i], L"--close-after") == 0) {
            target = &close_after_ms;
        } else {
            fwprintf(stderr, L"gui: unknown argument %ls\n", argv[i]);
            return FALSE;
        }
        if (i + 1 >= argc || !parse_u32(argv[i + 1], target)) {
            fwprintf(stderr, L"gui: %ls takes a number (decimal or 0x hex, up to 32 bits)\n", argv[i]);
            return FALSE;
        }
        i++;
    }
    return TRUE;
}

/*-**** Window contents ****/

static void add_file_row(const wchar_t *relative, ULONGLONG size) {
    wchar_t size_text[32];
    swprintf(size_text, 32, L"%llu", size);
    LVITEMW item = {0};
    item.mask = LVIF_TEXT;
    item.iItem = listed_files;
    item.pszText = (wchar_t *)relative;
    int row = (int)SendMessageW(file_list, LVM_INSERTITEMW, 0, (LPARAM)&item);
    item.iItem = row;
    item.iSubItem = 1;
    item.pszText = size_text;
    SendMessageW(file_list, LVM_SETITEMTEXTW, (WPARAM)row, (LPARAM)&item);
    listed_files++;
}

/* Adds every file below app_directory\`relative` (empty: the directory
 * itself) to the list, up to MAX_LISTED_FILES. */
static void list_files(const wchar_t *relative) {
    wchar_t pattern[PATH_CAPACITY];
    if (swprintf(pattern, PATH_CAPACITY, L"%ls\\%ls%ls*", app_directory, relative, relative[0] ? L"\\" : L"") < 0) {
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        wchar_t path[PATH_CAPACITY];
        if (swprintf(path, PATH_CAPACITY, L"%ls%ls%ls", relative, relative[0] ? L"\\" : L"", found.cFileName) < 0) {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            list_files(path);
        } else {
            add_file_row(path, ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow);
        }
    } while (listed_files < MAX_LISTED_FILES && FindNextFileW(search, &found));
    FindClose(search);
}

static HWND create_child(const wchar_t *class_name, const wchar_t *text, DWORD style, HWND parent) {
    HWND child = CreateWindowExW(
        /* dwExStyle */ 0,
        /* lpClassName */ class_name,
        /* lpWindowName */ text,
        /* dwStyle */ WS_CHILD | WS_VISIBLE | style,
        /* X, Y, nWidth, nHeight */ 0, 0, 0, 0,
        /* hWndParent */ parent,
        /* hMenu */ NULL,
        /* hInstance */ (HINSTANCE)&__ImageBase,
        /* lpParam */ NULL);
    SendMessageW(child, WM_SETFONT, (WPARAM)ui_font, FALSE);
    return child;
}

static void create_contents(HWND window) {
    wchar_t text[PATH_CAPACITY + 32];
    swprintf(text, PATH_CAPACITY + 32, L"Unpacked to: %ls", app_directory);
    path_label = create_child(L"STATIC", text, SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS, window);

    file_list = create_child(WC_LISTVIEWW, L"", LVS_REPORT | LVS_SINGLESEL | WS_BORDER, window);
    SendMessageW(file_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    LVCOLUMNW column = {0};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.pszText = L"File";
    column.cx = 380;
    SendMessageW(file_list, LVM_INSERTCOLUMNW, 0, (LPARAM)&column);
    column.pszText = L"Bytes";
    column.cx = 100;
    column.fmt = LVCFMT_RIGHT;
    SendMessageW(file_list, LVM_INSERTCOLUMNW, 1, (LPARAM)&column);
    list_files(L"");

    progress_bar = create_child(PROGRESS_CLASSW, L"", 0, window);
    SendMessageW(progress_bar, PBM_SETRANGE32, 0, (LPARAM)(close_after_ms ? close_after_ms : 1));
    ShowWindow(progress_bar, close_after_ms ? SW_SHOW : SW_HIDE);

    status_bar = create_child(STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP, window);
    int parts[] = {300, -1};
    SendMessageW(status_bar, SB_SETPARTS, 2, (LPARAM)parts);
    swprintf(text, PATH_CAPACITY + 32, L"%d file(s) unpacked", listed_files);
    SendMessageW(status_bar, SB_SETTEXTW, 1, (LPARAM)text);
    swprintf(text, 64, L"Exit code on close: %lu (0x%08lX)", exit_code, exit_code);
    SendMessageW(status_bar, SB_SETTEXTW, 0, (LPARAM)text);
}

static void lay_out(HWND window) {
    RECT client, status;
    GetClientRect(window, &client);
    SendMessageW(status_bar, WM_SIZE, 0, 0); /* the status bar places itself */
    GetWindowRect(status_bar, &status);
    int bottom = client.bottom - (status.bottom - status.top);
    int width = client.right - 2 * MARGIN;
    int label_height = 20, bar_height = close_after_ms ? 18 : 0;
    MoveWindow(path_label, MARGIN, MARGIN, width, label_height, TRUE);
    if (close_after_ms) {
        MoveWindow(progress_bar, MARGIN, bottom - MARGIN - bar_height, width, bar_height, TRUE);
    }
    int list_top = MARGIN + label_height + MARGIN / 2;
    int list_bottom = bottom - MARGIN - (bar_height ? bar_height + MARGIN : 0);
    MoveWindow(file_list, MARGIN, list_top, width, list_bottom - list_top, TRUE);
}

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        create_contents(window);
        if (close_after_ms) {
            opened_at = GetTickCount64();
            SetTimer(window, CLOSE_TIMER_ID, close_after_ms, NULL);
            SetTimer(window, TICK_TIMER_ID, TICK_MS, NULL);
        }
        return 0;
    case WM_SIZE:
        lay_out(window);
        return 0;
    case WM_TIMER:
        if (wparam == CLOSE_TIMER_ID) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        } else {
            SendMessageW(progress_bar, PBM_SETPOS, (WPARAM)(GetTickCount64() - opened_at), 0);
        }
        return 0;
    case WM_DESTROY:
        KillTimer(window, CLOSE_TIMER_ID);
        KillTimer(window, TICK_TIMER_ID);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

/*-**** Entry point ****/

static void set_app_directory(const wchar_t *dll_path) {
    wcsncpy(app_directory, dll_path ? dll_path : L"", PATH_CAPACITY - 1);
    app_directory[PATH_CAPACITY - 1] = L'\0';
    wchar_t *slash = wcsrchr(app_directory, L'\\');
    if (slash != NULL) {
        *slash = L'\0';
    }
}

__declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    if (!parse_arguments(argc, argv)) {
        return EXIT_BAD_ARGUMENTS;
    }
    set_app_directory(dll_path);

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    NONCLIENTMETRICSW metrics = {0};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    ui_font = CreateFontIndirectW(&metrics.lfMessageFont);

    /* The executable's icon (resource 1) when it has one. */
    HICON icon = LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(1));
    WNDCLASSEXW window_class = {0};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = (HINSTANCE)&__ImageBase;
    window_class.hIcon = icon ? icon : LoadIconW(NULL, IDI_APPLICATION);
    window_class.hCursor = LoadCursorW(NULL, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    window_class.lpszClassName = WINDOW_CLASS;
    RegisterClassExW(&window_class);

    HWND window = CreateWindowExW(
        /* dwExStyle */ 0,
        /* lpClassName */ WINDOW_CLASS,
        /* lpWindowName */ WINDOW_TITLE,
        /* dwStyle */ WS_OVERLAPPEDWINDOW,
        /* X, Y */ CW_USEDEFAULT, CW_USEDEFAULT,
        /* nWidth, nHeight */ 640, 420,
        /* hWndParent */ NULL,
        /* hMenu */ NULL,
        /* hInstance */ (HINSTANCE)&__ImageBase,
        /* lpParam */ NULL);
    if (window == NULL) {
        DWORD error = GetLastError();
        fwprintf(stderr, L"gui: cannot create the window (error %lu)\n", error);
        return 1;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DeleteObject(ui_font);
    return (int)exit_code;
}
