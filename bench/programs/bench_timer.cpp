// Starts a Windows program N times, one after the other, and prints one line
// per run: the time just before CreateProcessW, the time its wait ended (both
// FILETIME ticks of 100 ns), its exit code, and the first line of the report
// file the program wrote (or "-").
//   bench_timer N REPORT WORK_DIR EXE [ARGS...]
// In ARGS, {REPORT} stands for REPORT and {OUT} for a fresh directory below
// WORK_DIR, removed after each run.
#include <stdio.h>
#include <windows.h>

#include <string>

static unsigned long long now(void) {
    FILETIME t;
    GetSystemTimePreciseAsFileTime(&t);
    return ((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

static std::wstring replace_all(std::wstring text, const std::wstring &from, const std::wstring &to) {
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

static void remove_tree(const std::wstring &path) {
    std::wstring from = path + L'\0';  // the shell wants a double terminator
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationW(&op);
}

int wmain(int argc, wchar_t **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: bench_timer N REPORT WORK_DIR EXE [ARGS...]\n");
        return 2;
    }
    int runs = _wtoi(argv[1]);
    std::wstring report = argv[2], work = argv[3], exe = argv[4];
    CreateDirectoryW(work.c_str(), NULL);
    for (int i = 0; i < runs; i++) {
        std::wstring out = work + L"\\out" + std::to_wstring(i);
        std::wstring line = L"\"" + exe + L"\"";
        for (int a = 5; a < argc; a++) {
            line += L" \"" + replace_all(replace_all(argv[a], L"{REPORT}", report), L"{OUT}", out) + L"\"";
        }
        DeleteFileW(report.c_str());
        STARTUPINFOW startup = {sizeof startup};
        PROCESS_INFORMATION process = {};
        unsigned long long start = now();
        if (!CreateProcessW(exe.c_str(), line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
            fprintf(stderr, "bench_timer: cannot start (error %lu)\n", GetLastError());
            return 3;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        unsigned long long end = now();
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        char text[512] = "-";
        FILE *f = _wfopen(report.c_str(), L"r");
        if (f != NULL) {
            if (fgets(text, sizeof text, f) == NULL) {
                text[0] = '-', text[1] = 0;
            }
            fclose(f);
        }
        text[strcspn(text, "\r\n")] = 0;
        printf("%llu %llu %lu %s\n", start, end, code, text);
        fflush(stdout);
        remove_tree(out);
    }
    return 0;
}
