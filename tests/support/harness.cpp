#include "tests/support/harness.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

namespace harness {

std::wstring widen(const std::string &utf8) {
    if (utf8.empty()) {
        return {};
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), out.data(), n);
    return out;
}

std::string narrow(const std::wstring &wide) {
    if (wide.empty()) {
        return {};
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring windows_path(const std::string &linux_path) {
    std::wstring path = L"Z:" + widen(linux_path);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::wstring bin_path(const std::wstring &name) { return windows_path(VELSOR_TEST_BIN_DIR) + L"\\" + name; }

std::wstring quote_argument(const std::wstring &argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, L'\\');
    out.push_back(L'"');
    return out;
}

std::vector<std::wstring> split_command_line(const std::wstring &command_line) {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(command_line.c_str(), &argc);
    std::vector<std::wstring> out;
    for (int i = 0; argv != nullptr && i < argc; i++) {
        out.emplace_back(argv[i]);
    }
    LocalFree(argv);
    return out;
}

// The current environment with `changes` applied, as a block for CreateProcessW.
static std::wstring environment_block(const run_options &options) {
    std::map<std::wstring, std::wstring, bool (*)(const std::wstring &, const std::wstring &)> vars(
        [](const std::wstring &a, const std::wstring &b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    wchar_t *strings = GetEnvironmentStringsW();
    for (const wchar_t *p = strings; *p != L'\0'; p += wcslen(p) + 1) {
        std::wstring entry(p);
        size_t eq = entry.find(L'=', 1);
        if (eq != std::wstring::npos) {
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    FreeEnvironmentStringsW(strings);
    for (const auto &[name, value] : options.environment) {
        if (value) {
            vars[name] = *value;
        } else {
            vars.erase(name);
        }
    }
    std::wstring block;
    for (const auto &[name, value] : vars) {
        block += name + L"=" + value;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

static void drain(HANDLE pipe, std::string *into) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        into->append(buffer, n);
    }
}

static run_result run_once(const std::wstring &exe, const std::wstring &command_line, const run_options &options) {
    run_result result;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (options.capture) {
        CreatePipe(&out_read, &out_write, &inheritable, 0);
        CreatePipe(&err_read, &err_write, &inheritable, 0);
        SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
    }
    std::wstring line = command_line;
    std::wstring environment = environment_block(options);
    PROCESS_INFORMATION process = {};
    // A loaded Wine now and then fails a start with an internal error (1359);
    // another try then starts the process as usual.
    BOOL created = FALSE;
    for (int attempt = 0; attempt < 3 && !created; attempt++) {
        created = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                                 CREATE_UNICODE_ENVIRONMENT | options.creation_flags, environment.data(),
                                 options.current_directory.empty() ? nullptr : options.current_directory.c_str(),
                                 &startup, &process);
        if (!created && GetLastError() != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    if (options.capture) {
        CloseHandle(out_write);
        CloseHandle(err_write);
    }
    if (!created) {
        result.exit_code = 0xFFFFFFFF;
        result.err = "harness: CreateProcessW failed with " + std::to_string(GetLastError());
        if (options.capture) {
            CloseHandle(out_read);
            CloseHandle(err_read);
        }
        return result;
    }
    result.process_id = process.dwProcessId;
    std::thread out_thread, err_thread;
    if (options.capture) {
        out_thread = std::thread(drain, out_read, &result.out);
        err_thread = std::thread(drain, err_read, &result.err);
    }
    if (WaitForSingleObject(process.hProcess, options.timeout_ms) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (options.capture) {
        // A grandchild may still hold the pipes; don't wait for it forever.
        for (std::thread *t : {&out_thread, &err_thread}) {
            t->join();
        }
        CloseHandle(out_read);
        CloseHandle(err_read);
    }
    return result;
}

// Wine's NtCreateUserProcess fails with ERROR_INTERNAL_ERROR when the new
// process ends before its loader reports it started, now and then and more
// often on a loaded machine; see tests/faults/README.md. A launcher that met
// it in its own start of its child or of the program said so and stopped
// before anything of the application ran: the run says nothing about the
// code under test and is made again, and the directory the stopped run left
// (named after its process ID) goes first.
static bool wine_start_failed(const run_result &result) {
    static const char *const messages[] = {"Error, couldn't launch child ([Error 1359] ",
                                           "Error, couldn't start program '"};
    if (result.exit_code != 2 || result.err.find("([Error 1359] ") == std::string::npos) {
        return false;
    }
    return std::any_of(std::begin(messages), std::end(messages),
                       [&](const char *message) { return result.err.rfind(message, 0) == 0; });
}

run_result run_command_line(const std::wstring &exe, const std::wstring &command_line, const run_options &options) {
    run_result result = run_once(exe, command_line, options);
    for (int attempt = 1; attempt < 3 && options.capture && wine_start_failed(result); attempt++) {
        for (const auto &name : onefile_directories_of(result.process_id)) {
            remove_tree(temp_directory() + L"\\" + name);
        }
        result = run_once(exe, command_line, options);
    }
    return result;
}

static std::wstring quoted_command_line(const std::wstring &exe, const std::vector<std::wstring> &args) {
    std::wstring line = quote_argument(exe);
    for (const auto &a : args) {
        line += L" " + quote_argument(a);
    }
    return line;
}

run_result run(const std::wstring &exe, const std::vector<std::wstring> &args, const run_options &options) {
    return run_command_line(exe, quoted_command_line(exe, args), options);
}

HANDLE start(const std::wstring &exe, const std::vector<std::wstring> &args, const run_options &options) {
    std::wstring line = quoted_command_line(exe, args);
    std::wstring environment = environment_block(options);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT | options.creation_flags, environment.data(),
                        options.current_directory.empty() ? nullptr : options.current_directory.c_str(), &startup,
                        &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

std::wstring temp_directory() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring dir(buffer, n);
    while (!dir.empty() && dir.back() == L'\\') {
        dir.pop_back();
    }
    return dir;
}

std::vector<std::wstring> onefile_directories() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((temp_directory() + L"\\onefile_*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            names.emplace_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::wstring> onefile_directories_of(DWORD parent_pid) {
    std::wstring prefix = L"onefile_" + std::to_wstring(parent_pid) + L"_";
    std::vector<std::wstring> found;
    for (const auto &name : onefile_directories()) {
        if (name.rfind(prefix, 0) == 0) {
            found.push_back(name);
        }
    }
    return found;
}

int processes_named(const std::wstring &name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "no process snapshot: " << GetLastError();
        return -1;
    }
    int count = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name.c_str()) == 0) {
            count++;
        }
    }
    CloseHandle(snapshot);
    return count;
}

std::wstring make_scratch_directory(const std::wstring &prefix) {
    for (unsigned attempt = 0;; attempt++) {
        std::wstring path = temp_directory() + L"\\" + prefix + std::to_wstring(GetCurrentProcessId()) + L"_" +
                            std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(attempt);
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            return path;
        }
    }
}

std::wstring host_path(const std::wstring &path) {
    typedef char *(__stdcall * unix_name_function)(const wchar_t *);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    auto unix_name = (unix_name_function)(void *)GetProcAddress(kernel32, "wine_get_unix_file_name");
    char *name = unix_name == nullptr ? nullptr : unix_name(path.c_str());
    if (name == nullptr) {
        return L"";
    }
    std::wstring result = widen(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

bool plant_directory_link(const std::wstring &link, const std::wstring &target) {
    remove_host_link(link);  // one left by an earlier run, perhaps dangling and so unlisted
    run(L"Z:\\bin\\ln", {L"-s", host_path(target), host_path(link)});  // its exit code reads 1 under Wine
    DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void remove_host_link(const std::wstring &link) { run(L"Z:\\bin\\rm", {L"-f", host_path(link)}); }

void remove_tree(const std::wstring &path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                remove_host_link(child);
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

// Shares delete access as well as reading and writing. A file that appears
// by rename (written under another name, then MoveFileExW) is still open, for
// a moment after it appears, through the handle the rename was made with,
// which has delete access; an open that does not share delete then fails
// with ERROR_SHARING_VIOLATION, as the C runtime's fopen does, and the file
// would read back empty although it exists and is complete.
std::string read_file(const std::wstring &path) {
    HANDLE file = CreateFileW(
        /* lpFileName            */ path.c_str(),
        /* dwDesiredAccess       */ GENERIC_READ,
        /* dwShareMode           */ FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        /* lpSecurityAttributes  */ nullptr,
        /* dwCreationDisposition */ OPEN_EXISTING,
        /* dwFlagsAndAttributes  */ 0,
        /* hTemplateFile         */ nullptr);
    std::string text;
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        text.append(buffer, n);
    }
    CloseHandle(file);
    return text;
}

std::wstring read_utf16_file(const std::wstring &path) {
    std::string bytes = read_file(path);
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
    return text;
}

std::wstring recorded_program(const std::wstring &cached) {
    std::wstring text = read_utf16_file(cached + L"\\.velsor\\complete");
    size_t at = text.find(L"\nprogram ");
    if (at == std::wstring::npos) {
        return L"";
    }
    at += 9;
    return text.substr(at, text.find(L'\n', at) - at);
}

bool write_file(const std::wstring &path, const std::string &bytes) {
    FILE *file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

static void list_files_below(const std::wstring &root, const std::wstring &relative, std::vector<std::wstring> *out) {
    WIN32_FIND_DATAW found;
    std::wstring directory = relative.empty() ? root : root + L"\\" + relative;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            list_files_below(root, path, out);
        } else {
            out->push_back(path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::vector<std::wstring> list_files(const std::wstring &root) {
    std::vector<std::wstring> files;
    list_files_below(root, L"", &files);
    return files;
}

bool path_exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace harness
