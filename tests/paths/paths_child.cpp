// paths_child.exe: runs one paths operation in a process of its own, for the
// cases that end the process or depend on what a fresh process sees (its
// argument 0, its inherited environment, its own module path).
//
//   paths_child expand CAPACITY TEMPLATE   "true"/"false", then the output
//   paths_child env-get NAME               the value, or "(absent)"
//   paths_child env-set NAME VALUE         sets it, then reads it back
//   paths_child own-path                   resolved variant, then plain variant
//   paths_child normalize DIRECTORY        the normalised target directory
//   paths_child resolve CAPACITY PATH      resolve_final_path with the flag true
//   paths_child shorten CAPACITY PATH      shorten_directory_part
//   paths_child copy CAPACITY TEXT         copy_bounded
//
// Every result goes to stdout as UTF-8, one item per line. Buffers get
// exactly CAPACITY code units followed by a guard area; a write into the
// guard makes the program exit with guard_broken_status.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include <string>
#include <vector>

#include "base/layout.h"
#include "base/text.h"
#include "paths/env.h"
#include "paths/own_path.h"
#include "paths/template.h"

static const int usage_status = 64;
static const int guard_broken_status = 65;
static const int unstable_status = 66;
static const size_t guard_units = 64;
static const wchar_t guard_unit = 0xBEEF;

static void print_line(const std::wstring &text) {
    std::string utf8;
    if (!text.empty()) {
        int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
        utf8.resize(size);
        WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), utf8.data(), size, nullptr, nullptr);
    }
    utf8.push_back('\n');
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    fflush(stdout);
}

static std::string narrow_ascii(const wchar_t *text) {
    std::string out;
    for (const wchar_t *p = text; *p != L'\0'; p++) {
        out.push_back((char)*p);
    }
    return out;
}

// A buffer of `capacity` code units with a guard area behind it.
static std::vector<wchar_t> guarded_buffer(size_t capacity) {
    return std::vector<wchar_t>(capacity + guard_units, guard_unit);
}

static void check_guard(const std::vector<wchar_t> &buffer, size_t capacity) {
    for (size_t i = capacity; i < buffer.size(); i++) {
        if (buffer[i] != guard_unit) {
            print_line(L"guard broken");
            exit(guard_broken_status);
        }
    }
}

static int run_expand(size_t capacity, const wchar_t *path_template) {
    std::vector<wchar_t> output = guarded_buffer(capacity);
    bool ok = expand_path_template(output.data(), path_template, capacity);
    check_guard(output, capacity);
    print_line(ok ? L"true" : L"false");
    print_line(output.data());
    return 0;
}

static int run_env_get(const wchar_t *name) {
    wchar_t *value = env_get(narrow_ascii(name).c_str());
    print_line(value != nullptr ? value : L"(absent)");
    return 0;
}

static int run_env_set(const wchar_t *name, const wchar_t *value) {
    std::string ascii = narrow_ascii(name);
    env_set(ascii.c_str(), value);
    wchar_t *read = env_get(ascii.c_str());
    print_line(read != nullptr ? read : L"(absent)");
    return 0;
}

// Both variants, each requested twice: the second request must give the
// same buffer with the same text.
static int run_own_path(void) {
    const wchar_t *resolved = get_own_executable_path(true);
    std::wstring resolved_text = resolved;
    const wchar_t *plain = get_own_executable_path(false);
    if (get_own_executable_path(true) != resolved || get_own_executable_path(false) != plain ||
        resolved_text != resolved) {
        return unstable_status;
    }
    print_line(resolved);
    print_line(plain);
    return 0;
}

static int run_normalize(const wchar_t *directory) {
    static wchar_t target[payload_path_capacity];
    copy_bounded(target, directory, payload_path_capacity);
    normalize_target_directory(target);
    print_line(target);
    return 0;
}

static int run_in_place(const wchar_t *operation, size_t capacity, const wchar_t *text) {
    std::vector<wchar_t> buffer = guarded_buffer(capacity);
    if (wcscmp(operation, L"copy") == 0) {
        copy_bounded(buffer.data(), text, capacity);
    } else {
        if (wcslen(text) >= capacity) {
            return usage_status;
        }
        wcscpy(buffer.data(), text);
        if (wcscmp(operation, L"resolve") == 0) {
            resolve_final_path(buffer.data(), capacity, true);
        } else {
            shorten_directory_part(buffer.data(), capacity);
        }
    }
    check_guard(buffer, capacity);
    print_line(buffer.data());
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc == 4 && wcscmp(argv[1], L"expand") == 0) {
        return run_expand(wcstoul(argv[2], nullptr, 10), argv[3]);
    }
    if (argc == 3 && wcscmp(argv[1], L"env-get") == 0) {
        return run_env_get(argv[2]);
    }
    if (argc == 4 && wcscmp(argv[1], L"env-set") == 0) {
        return run_env_set(argv[2], argv[3]);
    }
    if (argc == 2 && wcscmp(argv[1], L"own-path") == 0) {
        return run_own_path();
    }
    if (argc == 3 && wcscmp(argv[1], L"normalize") == 0) {
        return run_normalize(argv[2]);
    }
    if (argc == 4 && (wcscmp(argv[1], L"resolve") == 0 || wcscmp(argv[1], L"shorten") == 0 ||
                      wcscmp(argv[1], L"copy") == 0)) {
        return run_in_place(argv[1], wcstoul(argv[2], nullptr, 10), argv[3]);
    }
    fprintf(stderr, "paths_child: unknown request\n");
    return usage_status;
}
