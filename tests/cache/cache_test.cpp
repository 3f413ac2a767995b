// The unpack modes under Wine: a cached directory that lasts between runs,
// and a directory of one's own choosing that goes as in the default mode.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <map>
#include <string>
#include <vector>

#include "base/layout.h"
#include "cache/boot.h"
#include "cache/record.h"
#include "tests/support/harness.h"

namespace {

const std::wstring v1 = L"cache_v1.exe", v2 = L"cache_v2.exe";

// The directory names in `directory`, "." and ".." left out.
// The entries of a cache's parent directory, less its lock file.
std::vector<std::wstring> names_in(const std::wstring &directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L".." && name != (const wchar_t *)cache_lock_leaf) {
            names.push_back(name);
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return names;
}

// Every file below `root` with its last write time.
std::map<std::wstring, ULONGLONG> write_times(const std::wstring &root) {
    std::map<std::wstring, ULONGLONG> times;
    for (const auto &name : harness::list_files(root)) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW((root + L"\\" + name).c_str(), GetFileExInfoStandard, &data)) {
            times[name] = ((ULONGLONG)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
        }
    }
    return times;
}

std::wstring record_of(const std::wstring &cached) { return harness::read_utf16_file(cached + L"\\.velsor\\complete"); }

bool marked_unflushed(const std::wstring &cached) {
    return record_of(cached).find(L"\nunflushed ") != std::wstring::npos;
}

std::map<std::wstring, ULONGLONG> without_record(std::map<std::wstring, ULONGLONG> times) {
    times.erase(L".velsor\\complete");
    return times;
}

// Writes `cached`'s record again, every line as it was but for an unflushed
// mark naming the boot `boot`: the record of a run before a restart.
void mark_unflushed_since(const std::wstring &cached, uint64_t boot) {
    std::wstring text = record_of(cached), program = harness::recorded_program(cached);
    ASSERT_FALSE(program.empty());
    cache_record forged = {};
    ASSERT_TRUE(cache_record_start(&forged, program.c_str()));
    ASSERT_TRUE(cache_record_add_unflushed(&forged, boot));
    auto copy = [](void *context, const cache_record_item *item) {
        auto *record = static_cast<cache_record *>(context);
        switch (item->kind) {
        case cache_item_unflushed: return true;
        case cache_item_directory: return cache_record_add_directory(record, item->name, item->write_time);
        default: return cache_record_add_file(record, item->name, item->size, item->write_time);
        }
    };
    ASSERT_TRUE(cache_record_read(text.data(), program.c_str(), copy, &forged));
    ASSERT_TRUE(cache_record_finish(&forged));
    std::string bytes((const char *)forged.text, forged.length * sizeof(wchar_t));
    cache_record_free(&forged);
    ASSERT_TRUE(harness::write_file(cached + L"\\.velsor\\complete", bytes));
}

// What the probe's report FILE wrote: its "key=value" records.
std::map<std::wstring, std::wstring> report(const std::wstring &file) {
    std::wstring text = harness::read_utf16_file(file);
    std::map<std::wstring, std::wstring> values;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(L'\0', at);
        std::wstring record = text.substr(at, end - at);
        size_t eq = record.find(L'=');
        if (eq != std::wstring::npos && !values.count(record.substr(0, eq))) {
            values[record.substr(0, eq)] = record.substr(eq + 1);
        }
        at = end == std::wstring::npos ? text.size() : end + 1;
    }
    return values;
}

DWORD run_exit(const std::wstring &exe, DWORD code) {
    harness::run_result r = harness::run(harness::bin_path(exe), {L"exit", std::to_wstring(code)});
    EXPECT_FALSE(r.timed_out);
    return r.exit_code;
}

DWORD wait_exit(HANDLE process) {
    DWORD code = 0;
    EXPECT_EQ(WaitForSingleObject(process, 120000), WAIT_OBJECT_0);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

bool wait_for(const std::wstring &path) {
    for (int i = 0; i < 6000 && !harness::path_exists(path); i++) {
        Sleep(10);
    }
    return harness::path_exists(path);
}

class Cache : public testing::Test {
protected:
    void SetUp() override {
        base = harness::temp_directory() + L"\\velsor_cache_test";
        harness::remove_tree(base);
        scratch = harness::make_scratch_directory(L"velsor_cache_");
    }
    void TearDown() override {
        harness::remove_tree(base);
        harness::remove_tree(scratch);
    }
    // The one directory in the base, which must be all there is.
    std::wstring only_directory() {
        auto names = names_in(base);
        EXPECT_EQ(names.size(), 1u);
        return names.empty() ? L"" : base + L"\\" + names[0];
    }
    std::wstring base, scratch;
};

TEST_F(Cache, KeptCompleteAndSharedAndRenewed) {
    // First run unpacks and keeps; later runs unpack nothing.
    ASSERT_EQ(run_exit(v1, 7), 7u);
    std::wstring cached = only_directory();
    ASSERT_EQ(names_in(base)[0].size(), 16u);
    auto first = write_times(cached);
    EXPECT_TRUE(first.count(L"probe.dll") && first.count(L"data\\noise.bin") && first.count(L".velsor\\complete"));
    // The first run does not wait for the disk; the next start flushes the
    // files and drops the record's mark, unpacking nothing.
    EXPECT_TRUE(marked_unflushed(cached));
    std::wstring file = scratch + L"\\report";
    harness::run_result r = harness::run(harness::bin_path(v1), {L"report", file, L"a b", L""});
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_FALSE(marked_unflushed(cached)) << "the files were not flushed";
    EXPECT_EQ(report(file)[L"loaded"], L"") << "a later start loaded the security or shell DLLs";
    EXPECT_EQ(without_record(write_times(cached)), without_record(first));
    first = write_times(cached);
    auto seen = report(file);
    EXPECT_EQ(seen[L"dll_path"], cached + L"\\probe.dll");
    EXPECT_EQ(seen[L"argc"], L"5");
    EXPECT_EQ(seen[L"VELSOR_ONEFILE_DIRECTORY"] + L"\\" + v1, harness::bin_path(v1));
    EXPECT_EQ(seen[L"VELSOR_ONEFILE_RANDOM"], L"(unset)");
    // One process: the application runs in the launcher's, as the program
    // would run started directly, and no instance is taken for its child.
    EXPECT_EQ(seen[L"pid"], std::to_wstring(r.process_id));
    EXPECT_EQ(seen[L"VELSOR_ONEFILE_PARENT"], L"(unset)");
    EXPECT_EQ(seen[L"VELSOR_ORIGINAL_ARGV0"], harness::bin_path(v1));
    std::wstring again = scratch + L"\\again";
    r = harness::run(harness::bin_path(v1), {L"again", again});
    EXPECT_EQ(r.exit_code, 0u);
    auto restarted = report(again);
    EXPECT_NE(restarted[L"pid"], std::to_wstring(r.process_id));
    EXPECT_EQ(restarted[L"VELSOR_ONEFILE_PARENT"], L"(unset)") << "the restarted instance ran as a child";
    EXPECT_EQ(restarted[L"dll_path"], cached + L"\\probe.dll");
    EXPECT_EQ(run_exit(v1, 0xC0000005), 0xC0000005u);
    EXPECT_EQ(write_times(cached), first) << "a later run wrote into the cache";

    // The application writing into its own tree (a log beside its data)
    // costs no new unpacking: the directory's files are looked at once, and
    // the record learns the directory's new time.
    std::wstring log = cached + L"\\data\\app.log";
    ASSERT_TRUE(harness::write_file(log, "written by the application"));
    EXPECT_EQ(run_exit(v1, 5), 5u);
    EXPECT_EQ(only_directory(), cached);
    auto after_log = write_times(cached);
    EXPECT_NE(after_log[L".velsor\\complete"], first[L".velsor\\complete"]) << "the record kept the old time";
    after_log.erase(L"data\\app.log");
    after_log.erase(L".velsor\\complete");
    auto unchanged = first;
    unchanged.erase(L".velsor\\complete");
    EXPECT_EQ(after_log, unchanged) << "the files were unpacked again";
    auto refreshed = write_times(cached);
    EXPECT_EQ(run_exit(v1, 6), 6u);
    EXPECT_EQ(write_times(cached), refreshed) << "the record was written again, or the files";

    // A record still marked unflushed from an earlier boot is not trusted:
    // a file may have lost what it held. From this boot, it is.
    mark_unflushed_since(cached, boot_time());
    ASSERT_TRUE(marked_unflushed(cached));
    EXPECT_EQ(run_exit(v1, 8), 8u);
    EXPECT_EQ(only_directory(), cached);
    EXPECT_FALSE(marked_unflushed(cached));
    uint64_t earlier = boot_time() - 3600 * 10000000ull;
    mark_unflushed_since(cached, earlier);
    EXPECT_EQ(run_exit(v1, 9), 9u);
    cached = only_directory();
    EXPECT_EQ(record_of(cached).find(std::to_wstring(earlier)), std::wstring::npos) << "another boot's record trusted";
    EXPECT_TRUE(marked_unflushed(cached)) << "not unpacked again";

    // A file deleted, a code file or a record cut short, or a data file cut
    // short in a directory that changed since, is noticed and unpacked again.
    struct damage_row {
        const char *what;
        const wchar_t *file;
        bool remove;
        bool add_beside;
    } damage_rows[] = {
        {"a data file deleted", L"data\\noise.bin", true, false},
        {"a data file cut short beside a new file", L"data\\noise.bin", false, true},
        {"the record cut short", L".velsor\\complete", false, false},
        {"the application DLL deleted", L"probe.dll", true, false},
        {"the application DLL cut short", L"probe.dll", false, false},
        {"an interpreter's addon cut short in an unchanged directory", L"data\\addon.node", false, false},
    };
    for (const auto &row : damage_rows) {
        SCOPED_TRACE(row.what);
        std::wstring noise = cached + L"\\data\\noise.bin", path = cached + L"\\" + row.file;
        if (row.add_beside) {
            ASSERT_TRUE(harness::write_file(path + L".new", "beside"));
        }
        if (row.remove) {
            ASSERT_TRUE(DeleteFileW(path.c_str()));
        } else {
            HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, TRUNCATE_EXISTING, 0, NULL);
            ASSERT_NE(f, INVALID_HANDLE_VALUE);
            CloseHandle(f);
        }
        EXPECT_EQ(run_exit(v1, 3), 3u);
        cached = only_directory();
        EXPECT_EQ(write_times(cached).size(), first.size());
        EXPECT_FALSE(harness::read_file(cached + L"\\" + row.file).empty()) << "not unpacked again";
        EXPECT_EQ(harness::read_file(noise).size(), 32u << 20);
    }

    // A run killed while it unpacks leaves nothing a later run trusts.
    harness::remove_tree(base);
    HANDLE killed = harness::start(harness::bin_path(v1), {L"exit", L"1"});
    bool caught = false;
    for (int i = 0; i < 20000 && !caught; i++) {
        auto names = names_in(base);
        caught = names.size() == 1 && names[0].find(L".new-") != std::wstring::npos;
        Sleep(caught ? 0 : 1);
    }
    TerminateProcess(killed, 9);
    wait_exit(killed);
    ASSERT_TRUE(caught) << "the first run was not caught unpacking";
    EXPECT_EQ(names_in(base).size(), 1u) << "killed before it published";
    EXPECT_EQ(run_exit(v1, 4), 4u);
    EXPECT_EQ(names_in(base).size(), 1u) << "the killed run's private directory stayed";
    EXPECT_EQ(names_in(base)[0].size(), 16u);

    // Two first runs at once: both succeed, one directory stays.
    harness::remove_tree(base);
    HANDLE one = harness::start(harness::bin_path(v1), {L"exit", L"11"});
    HANDLE two = harness::start(harness::bin_path(v1), {L"exit", L"12"});
    EXPECT_EQ(wait_exit(one), 11u);
    EXPECT_EQ(wait_exit(two), 12u);
    std::wstring old_version = only_directory();

    // A later start beside a running first run cannot flush what that run
    // holds: it runs all the same and leaves the mark to a start after it.
    harness::remove_tree(base);
    std::wstring first_running = scratch + L"\\first_running";
    HANDLE first_run = harness::start(harness::bin_path(v1), {L"report-then-sleep", first_running, L"4000"});
    ASSERT_TRUE(wait_for(first_running));
    cached = only_directory();
    EXPECT_EQ(run_exit(v1, 13), 13u);
    EXPECT_TRUE(marked_unflushed(cached)) << "flushed files that a running instance holds";
    EXPECT_EQ(wait_exit(first_run), 0u);
    EXPECT_EQ(run_exit(v1, 14), 14u);
    EXPECT_FALSE(marked_unflushed(cached));
    EXPECT_EQ(only_directory(), cached);

    // A new version installed over the old one removes the old one's
    // directory, but not while the old one runs. (A version is known as the
    // same program's by the executable's path.)
    std::wstring installed = scratch + L"\\app.exe", running = scratch + L"\\running";
    ASSERT_TRUE(CopyFileW(harness::bin_path(v1).c_str(), installed.c_str(), FALSE));
    EXPECT_EQ(harness::run(installed, {L"exit", L"0"}).exit_code, 0u);
    old_version = only_directory();
    EXPECT_EQ(run_exit(v2, 0), 0u);
    EXPECT_EQ(names_in(base).size(), 2u) << "another program's directory was removed";
    HANDLE busy = harness::start(installed, {L"report-then-sleep", running, L"8000"});
    ASSERT_TRUE(wait_for(running));
    ASSERT_TRUE(MoveFileExW(installed.c_str(), (installed + L".old").c_str(), 0));  // as an installer would
    ASSERT_TRUE(CopyFileW(harness::bin_path(v2).c_str(), installed.c_str(), FALSE));
    EXPECT_EQ(harness::run(installed, {L"exit", L"0"}).exit_code, 0u);
    EXPECT_EQ(names_in(base).size(), 2u);
    EXPECT_TRUE(harness::path_exists(old_version + L"\\probe.dll")) << "removed while in use";
    EXPECT_EQ(wait_exit(busy), 0u);
    EXPECT_EQ(harness::run(installed, {L"exit", L"0"}).exit_code, 0u);
    std::wstring new_version = only_directory();
    EXPECT_NE(new_version, old_version);
    EXPECT_TRUE(harness::path_exists(new_version + L"\\version.txt"));
}

// Ctrl+C ends the run but leaves the cache in place and complete.
TEST_F(Cache, CtrlCLeavesTheCache) {
    std::wstring console_base = harness::temp_directory() + L"\\velsor_cache_console";
    harness::remove_tree(console_base);
    std::wstring ready = scratch + L"\\ready", marker = scratch + L"\\marker";
    std::vector<std::wstring> host_args = {scratch + L"\\host_result", L"file:" + ready,
                                           harness::bin_path(L"cache_console.exe"), L"wait_ctrl", ready, marker};
    harness::run_options options;
    options.capture = false;
    options.creation_flags = CREATE_NEW_CONSOLE;
    harness::run_result host = harness::run(harness::bin_path(L"console_host.exe"), host_args, options);
    EXPECT_EQ(host.exit_code, 0u);
    EXPECT_NE(harness::read_file(scratch + L"\\host_result").find("signalled=1"), std::string::npos);
    EXPECT_EQ(harness::read_file(marker), "signalled\n");
    auto names = names_in(console_base);
    ASSERT_EQ(names.size(), 1u);
    std::wstring cached = console_base + L"\\" + names[0];
    auto before = write_times(cached);
    EXPECT_TRUE(before.count(L"console_app.dll") && before.count(L".velsor\\complete"));
    harness::run_result again = harness::run(harness::bin_path(L"cache_console.exe"), {L"exit", L"6"});
    EXPECT_EQ(again.exit_code, 6u);
    EXPECT_EQ(without_record(write_times(cached)), without_record(before))
        << "the cache was not complete after Ctrl+C";
    harness::remove_tree(console_base);
}

// The default folder is {CACHE_DIR}: LOCALAPPDATA as the user's environment
// has it, and the shell's folder when the variable holds no full path.
TEST(CacheDefault, FolderFromTheEnvironmentThenTheShell) {
    std::wstring scratch = harness::make_scratch_directory(L"velsor_cache_default");
    wchar_t local[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, local), S_OK);
    std::wstring shell_folder = std::wstring(local) + L"\\velsor\\cache_default";
    struct row {
        const wchar_t *local_app_data;
        std::wstring expected_parent;
    } rows[] = {
        {L"", scratch + L"\\velsor\\cache_default"},
        {L"relative\\folder", shell_folder},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(harness::narrow(r.local_app_data));
        harness::run_options options;
        std::wstring value = r.local_app_data[0] == L'\0' ? scratch : r.local_app_data;
        options.environment.push_back({L"LOCALAPPDATA", value});
        std::wstring file = scratch + L"\\report";
        EXPECT_EQ(harness::run(harness::bin_path(L"cache_default.exe"), {L"report", file}, options).exit_code, 0u);
        std::wstring dll = report(file)[L"dll_path"];
        wchar_t full[MAX_PATH * 2];
        GetFullPathNameW(r.expected_parent.c_str(), MAX_PATH * 2, full, NULL);
        EXPECT_EQ(_wcsnicmp(dll.c_str(), full, wcslen(full)), 0) << harness::narrow(dll);
        harness::remove_tree(full);
    }
    harness::remove_tree(scratch);
}

// Without --cache the chosen directory is used once and removed.
TEST(UnpackDir, FreshDirectoryWhereTheTemplateSaysAndGone) {
    std::wstring parent = harness::temp_directory() + L"\\velsor_fresh_test";
    std::wstring scratch = harness::make_scratch_directory(L"velsor_fresh_");
    std::wstring file = scratch + L"\\report";
    harness::run_result r = harness::run(harness::bin_path(L"cache_fresh.exe"), {L"report", file});
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    auto seen = report(file);
    std::wstring expected = parent + L"\\run_" + std::to_wstring(r.process_id) + L"_" + seen[L"VELSOR_ONEFILE_RANDOM"];
    EXPECT_EQ(seen[L"dll_path"], expected + L"\\probe.dll");
    EXPECT_FALSE(harness::path_exists(expected));
    EXPECT_TRUE(names_in(parent).empty());
    harness::remove_tree(parent);
    harness::remove_tree(scratch);
}

// Started by a relative name without extension, as a shell user types it:
// {PROGRAM_DIR} is still the executable's directory, in parent and child.
TEST(UnpackDir, ProgramDirFromARelativeName) {
    std::wstring scratch = harness::make_scratch_directory(L"velsor_beside_");
    std::wstring exe = scratch + L"\\beside.exe";
    ASSERT_TRUE(CopyFileW(harness::bin_path(L"cache_beside.exe").c_str(), exe.c_str(), FALSE));
    harness::run_options options;
    options.current_directory = scratch;
    harness::run_result r = harness::run_command_line(exe, L"beside report report.txt", options);
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    auto seen = report(scratch + L"\\report.txt");
    std::wstring expected = scratch + L"\\run_" + std::to_wstring(r.process_id) + L"_" + seen[L"VELSOR_ONEFILE_RANDOM"];
    EXPECT_EQ(seen[L"dll_path"], expected + L"\\probe.dll");
    EXPECT_EQ(seen[L"VELSOR_ORIGINAL_ARGV0"], L"beside");
    EXPECT_FALSE(harness::path_exists(expected));
    harness::remove_tree(scratch);
}

}  // namespace
