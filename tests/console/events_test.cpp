// Every console event, and values that must be ignored, reaching the
// console control handler of a running packed parent whose child runs.
//
// Wine delivers only Ctrl+C to a process (see ctrl_c_test.cpp and
// events_test.py), so the handler is run here the way the system runs it
// for a console event: on a thread of its own, started in the parent, with
// the event's value as its argument. The thread's exit code is the
// handler's answer. The parent is events_app.exe, packed with the launcher
// build that keeps its symbol table; the handler's address comes from that
// table. While the handler runs, the parent's own threads are held, so that
// a main thread finishing the run cannot end the process under it.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace {

const char handler_symbol[] = "_Z23console_control_handlerm";  // console_control_handler(DWORD)
const DWORD grace_ms = 5000;

std::uint32_t u32(const std::string &b, size_t at) {
    return (std::uint32_t)(unsigned char)b[at] | (std::uint32_t)(unsigned char)b[at + 1] << 8 |
           (std::uint32_t)(unsigned char)b[at + 2] << 16 | (std::uint32_t)(unsigned char)b[at + 3] << 24;
}

// The handler's address relative to the image base, from the COFF symbol
// table: a symbol's value is its offset in its section.
std::uint32_t handler_rva(const std::wstring &exe) {
    std::string image = harness::read_file(exe);
    size_t coff = u32(image, 0x3C) + 4;
    size_t sections = coff + 20 + (unsigned char)image[coff + 16] + ((unsigned char)image[coff + 17] << 8);
    size_t symbols = u32(image, coff + 8), count = u32(image, coff + 12);
    size_t strings = symbols + count * 18;
    for (size_t i = 0; i < count; i += 1 + (unsigned char)image[symbols + i * 18 + 17]) {
        size_t at = symbols + i * 18;
        std::string name = u32(image, at) == 0 ? std::string(image.c_str() + strings + u32(image, at + 4))
                                               : std::string(image, at, 8).c_str();
        unsigned section = (unsigned char)image[at + 12] | ((unsigned char)image[at + 13] << 8);
        if (name == handler_symbol) {
            return u32(image, sections + (section - 1) * 40 + 12) + u32(image, at + 8);
        }
    }
    return 0;
}

std::vector<HANDLE> hold_threads(DWORD process_id) {
    std::vector<HANDLE> held;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        HANDLE thread = entry.th32OwnerProcessID == process_id
                            ? OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)
                            : nullptr;
        if (thread != nullptr && SuspendThread(thread) != (DWORD)-1) {
            held.push_back(thread);
        }
    }
    CloseHandle(snapshot);
    return held;
}

void release_threads(const std::vector<HANDLE> &held) {
    for (HANDLE thread : held) {
        ResumeThread(thread);
        CloseHandle(thread);
    }
}

struct handled {
    DWORD answer = 0xFFFFFFFF;  // the handler's BOOL
    ULONGLONG ms = 0;           // how long it took
};

// Runs the handler in `parent` for `event`; `meanwhile` runs once it has started.
template <typename F>
handled run_handler(HANDLE parent, std::uint32_t rva, DWORD event, F meanwhile) {
    HMODULE modules[1] = {};
    DWORD needed = 0;
    EXPECT_TRUE(K32EnumProcessModules(parent, modules, sizeof modules, &needed));  // the executable comes first
    auto start = (LPTHREAD_START_ROUTINE)((std::uintptr_t)modules[0] + rva);
    std::vector<HANDLE> held = hold_threads(GetProcessId(parent));
    ULONGLONG began = GetTickCount64();
    HANDLE thread = CreateRemoteThread(
        /* hProcess           */ parent,
        /* lpThreadAttributes */ nullptr,
        /* dwStackSize        */ 0,
        /* lpStartAddress     */ start,
        /* lpParameter        */ (LPVOID)(std::uintptr_t)event,
        /* dwCreationFlags    */ 0,
        /* lpThreadId         */ nullptr);
    handled result;
    EXPECT_NE(thread, nullptr) << GetLastError();
    if (thread != nullptr) {
        meanwhile();
        EXPECT_EQ(WaitForSingleObject(thread, 30000), (DWORD)WAIT_OBJECT_0);
        result.ms = GetTickCount64() - began;
        GetExitCodeThread(thread, &result.answer);
        CloseHandle(thread);
    }
    release_threads(held);
    return result;
}

// The value of "key=value" lines.
std::string value_of(const std::string &text, const std::string &key) {
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        std::string line = text.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == '=') {
            return line.substr(key.size() + 1);
        }
        from = end == std::string::npos ? text.size() : end + 1;
    }
    return "";
}

enum class child_kind { ends_when_told, stays };

struct event_case {
    DWORD event;
    child_kind child;
    bool cleans_up;  // false: a value the handler must ignore
};

}  // namespace

TEST(ConsoleEvents, EachEventRunsCleanUpAndOtherValuesAreIgnored) {
    const std::wstring exe = harness::bin_path(L"events_app.exe");
    const std::uint32_t rva = handler_rva(exe);
    ASSERT_NE(rva, 0u) << "no " << handler_symbol << " in the symbol table of events_app.exe";
    const event_case cases[] = {
        {CTRL_C_EVENT, child_kind::ends_when_told, true},     {CTRL_BREAK_EVENT, child_kind::ends_when_told, true},
        {CTRL_CLOSE_EVENT, child_kind::ends_when_told, true}, {CTRL_LOGOFF_EVENT, child_kind::ends_when_told, true},
        {CTRL_SHUTDOWN_EVENT, child_kind::ends_when_told, true},
        {CTRL_BREAK_EVENT, child_kind::stays, true},          {CTRL_CLOSE_EVENT, child_kind::stays, true},
        {CTRL_LOGOFF_EVENT, child_kind::stays, true},         {CTRL_SHUTDOWN_EVENT, child_kind::stays, true},
        {3, child_kind::ends_when_told, false},               {4, child_kind::ends_when_told, false},
        {7, child_kind::ends_when_told, false},               {0xFFFF, child_kind::ends_when_told, false},
    };
    const std::wstring scratch = harness::make_scratch_directory(L"velsor_events_");
    for (const event_case &c : cases) {
        SCOPED_TRACE("event " + std::to_string(c.event) + (c.child == child_kind::stays ? ", child stays" : ""));
        const std::wstring ready = scratch + L"\\ready", marker = scratch + L"\\marker", go = scratch + L"\\go";
        DeleteFileW(ready.c_str());
        DeleteFileW(go.c_str());
        std::vector<std::wstring> args = c.child == child_kind::stays
                                             ? std::vector<std::wstring>{L"ignore_ctrl", ready, marker}
                                             : std::vector<std::wstring>{L"wait_any", ready, marker, go};
        HANDLE parent = harness::start(exe, args);
        ASSERT_NE(parent, nullptr);
        // The application writes READY under another name and renames it,
        // so once it exists it is complete: it is read once.
        for (int i = 0; i < 3000 && !harness::path_exists(ready); i++) {
            Sleep(10);
        }
        std::string announced = harness::read_file(ready);
        ASSERT_FALSE(value_of(announced, "dir").empty()) << "the ready file reads [" << announced << "]";
        HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                   (DWORD)strtoul(value_of(announced, "pid").c_str(), nullptr, 10));
        ASSERT_NE(child, nullptr) << "the application did not start: " << announced;
        std::wstring directory = harness::widen(value_of(announced, "dir"));

        // A child that ends by itself is told to as soon as the handler runs.
        handled h = run_handler(parent, rva, c.event, [&] {
            if (c.child == child_kind::ends_when_told && c.cleans_up) {
                CloseHandle(CreateFileW(go.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            }
        });
        EXPECT_EQ(h.answer, (DWORD)FALSE);
        DWORD child_code = 0;
        if (!c.cleans_up) {
            EXPECT_LT(h.ms, 1000u);
            EXPECT_EQ(WaitForSingleObject(child, 500), (DWORD)WAIT_TIMEOUT) << "the child did not run on";
            EXPECT_TRUE(harness::path_exists(directory)) << "something was deleted";
            CloseHandle(CreateFileW(go.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        } else if (c.child == child_kind::stays) {
            EXPECT_GE(h.ms, grace_ms - 100);
            EXPECT_LT(h.ms, grace_ms + 3000);
            EXPECT_FALSE(harness::path_exists(directory));
        } else {
            EXPECT_LT(h.ms, grace_ms);
            EXPECT_FALSE(harness::path_exists(directory));
        }
        // The parent passes on the child's code: its own (5) unless it was terminated (0).
        DWORD wanted = c.child == child_kind::stays ? 0 : 5;
        EXPECT_EQ(WaitForSingleObject(child, 10000), (DWORD)WAIT_OBJECT_0);
        GetExitCodeProcess(child, &child_code);
        EXPECT_EQ(child_code, wanted);
        EXPECT_EQ(harness::path_exists(marker + L".detach"), c.child != child_kind::stays) << "terminated or not";
        DWORD parent_code = 0;
        EXPECT_EQ(WaitForSingleObject(parent, 10000), (DWORD)WAIT_OBJECT_0);
        GetExitCodeProcess(parent, &parent_code);
        EXPECT_EQ(parent_code, wanted);
        EXPECT_FALSE(harness::path_exists(directory)) << "the run left its directory behind";
        CloseHandle(child);
        CloseHandle(parent);
        DeleteFileW((marker + L".detach").c_str());
    }
    harness::remove_tree(scratch);
}
