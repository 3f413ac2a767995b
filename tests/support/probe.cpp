// The probe: an application DLL for the tests. Its first argument picks what
// it does, so one packed executable serves many tests.
//
//   exit CODE             return CODE (decimal or 0x hex, all 32 bits)
//   report FILE           write what the application sees to FILE (UTF-16LE,
//                         "key=value" records each ending in a 0 code unit),
//                         and which system DLLs its process has loaded
//   hash FILE             write "name<TAB>size<TAB>fnv1a64" for every file below
//                         the DLL's directory, sorted (UTF-8 lines)
//   sleep MS              sleep, then return 0
//   report-then-sleep FILE MS   report, then sleep
//   print                 write lines through printf, puts, iostream, stderr
#include <stdint.h>
#include <stdio.h>
#include <windows.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

static std::wstring variable(const wchar_t *name) {
    std::vector<wchar_t> value(32768);
    DWORD n = GetEnvironmentVariableW(name, value.data(), (DWORD)value.size());
    return n == 0 || n >= value.size() ? L"(unset)" : std::wstring(value.data(), n);
}

static bool write_utf16(const wchar_t *path, const std::wstring &text) {
    FILE *file = _wfopen(path, L"wb");
    if (file == NULL) {
        return false;
    }
    fwrite(text.data(), sizeof(wchar_t), text.size(), file);
    return fclose(file) == 0;
}

static int report(const wchar_t *path, int argc, wchar_t **argv, const wchar_t *dll_path) {
    std::wstring out;
    auto add = [&](const std::wstring &key, const std::wstring &value) {
        out += key + L"=" + value;
        out.push_back(L'\0');
    };
    add(L"argc", std::to_wstring(argc));
    for (int i = 0; i < argc; i++) {
        add(L"argv", argv[i]);
    }
    add(L"dll_path", dll_path);
    for (const wchar_t *name : {L"VELSOR_ONEFILE_PARENT", L"VELSOR_ONEFILE_DIRECTORY", L"VELSOR_ORIGINAL_ARGV0",
                                L"VELSOR_ONEFILE_TIME_US", L"VELSOR_ONEFILE_RANDOM", L"VELSOR_ONEFILE_START"}) {
        add(name, variable(name));
    }
    wchar_t cwd[MAX_PATH * 4];
    GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    add(L"cwd", cwd);
    add(L"pid", std::to_wstring(GetCurrentProcessId()));
    std::wstring loaded;  // system DLLs in this process that the probe itself does not import
    for (const wchar_t *name : {L"advapi32.dll", L"shell32.dll", L"ole32.dll", L"user32.dll"}) {
        loaded += GetModuleHandleW(name) != NULL ? std::wstring(name) + L" " : L"";
    }
    add(L"loaded", loaded);
    return write_utf16(path, out) ? 0 : 90;
}

static uint64_t fnv1a64_file(const std::wstring &path, uint64_t *size) {
    uint64_t hash = 0xcbf29ce484222325ull;
    *size = 0;
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (file == NULL) {
        return 0;
    }
    std::vector<unsigned char> buffer(1 << 16);
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        for (size_t i = 0; i < n; i++) {
            hash = (hash ^ buffer[i]) * 0x100000001b3ull;
        }
        *size += n;
    }
    fclose(file);
    return hash;
}

static void walk(const std::wstring &root, const std::wstring &relative, std::vector<std::string> *lines) {
    WIN32_FIND_DATAW found;
    std::wstring dir = relative.empty() ? root : root + L"\\" + relative;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        std::wstring rel = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            walk(root, rel, lines);
            continue;
        }
        uint64_t size = 0;
        uint64_t hash = fnv1a64_file(root + L"\\" + rel, &size);
        char utf8[4096];
        int n = WideCharToMultiByte(CP_UTF8, 0, rel.c_str(), -1, utf8, sizeof utf8, NULL, NULL);
        char line[4200];
        snprintf(line, sizeof line, "%s\t%llu\t%016llx", n > 0 ? utf8 : "?", (unsigned long long)size,
                 (unsigned long long)hash);
        lines->push_back(line);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static int hash_tree(const wchar_t *path, const wchar_t *dll_path) {
    std::wstring root = dll_path;
    root = root.substr(0, root.rfind(L'\\'));
    std::vector<std::string> lines;
    walk(root, L"", &lines);
    std::sort(lines.begin(), lines.end());
    FILE *file = _wfopen(path, L"wb");
    if (file == NULL) {
        return 91;
    }
    for (const auto &line : lines) {
        fprintf(file, "%s\n", line.c_str());
    }
    return fclose(file) == 0 ? 0 : 92;
}

static int print_lines(void) {
    printf("printf line\n");
    puts("puts line");
    std::cout << "iostream line" << std::endl;
    fprintf(stderr, "stderr line\n");
    fflush(stdout);
    return 0;
}

extern "C" __declspec(dllexport) int __stdcall run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    std::wstring mode = argc > 1 ? argv[1] : L"";
    const wchar_t *value = argc > 2 ? argv[2] : L"";
    if (mode == L"exit") {
        return (int)wcstoul(value, NULL, 0);
    }
    if (mode == L"report") {
        return report(value, argc, argv, dll_path);
    }
    if (mode == L"hash") {
        return hash_tree(value, dll_path);
    }
    if (mode == L"report-then-sleep") {
        int status = report(value, argc, argv, dll_path);
        Sleep(argc > 3 ? (DWORD)wcstoul(argv[3], NULL, 0) : 0);
        return status;
    }
    if (mode == L"sleep") {
        Sleep((DWORD)wcstoul(value, NULL, 0));
        return 0;
    }
    if (mode == L"print") {
        return print_lines();
    }
    if (mode == L"again") {  // starts its own executable with "report FILE" and returns its exit code
        wchar_t self[MAX_PATH * 4];
        GetModuleFileNameW(NULL, self, MAX_PATH * 4);
        std::wstring line = L"\"" + std::wstring(self) + L"\" report \"" + value + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(self, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
            return 97;
        }
        DWORD code = 96;
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return (int)code;
    }
    if (mode == L"load") {  // loads a DLL by name and returns what its plugin_id() says
        HMODULE plugin = LoadLibraryW(value);
        FARPROC id = plugin == NULL ? NULL : GetProcAddress(plugin, "plugin_id");
        return id == NULL ? 98 : ((int (*)(void))(void *)id)();
    }
    fprintf(stderr, "probe: unknown mode\n");
    return 99;
}
