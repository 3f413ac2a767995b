// Faults and load under Wine, with the packed faults_app.exe: a temporary
// directory that cannot be written, twenty instances at once, and the parent
// killed from outside while its child runs. (A full disk needs a small
// tmpfs, so it is tested from Linux: disk_full.sh.)
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace {

// The launcher's standard streams are in text mode, so its line feeds reach
// a pipe as CR LF; the tests compare lines without the CR.
std::string without_cr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

const DWORD run_timeout_ms = 120000;

std::wstring faults_app() { return harness::bin_path(L"faults_app.exe"); }

// Points TEMP and TMP of this process (and so of every process it starts)
// at `path` while in scope, so the tests see only their own target directories.
class temp_override {
  public:
    explicit temp_override(const std::wstring &path) {
        for (const wchar_t *name : {L"TEMP", L"TMP"}) {
            wchar_t old[32768];
            DWORD n = GetEnvironmentVariableW(name, old, 32768);
            saved_.push_back(n > 0 && n < 32768 ? std::wstring(old, n) : std::wstring());
            SetEnvironmentVariableW(name, path.c_str());
        }
    }
    ~temp_override() {
        SetEnvironmentVariableW(L"TEMP", saved_[0].empty() ? nullptr : saved_[0].c_str());
        SetEnvironmentVariableW(L"TMP", saved_[1].empty() ? nullptr : saved_[1].c_str());
    }

  private:
    std::vector<std::wstring> saved_;
};

struct report {
    std::string dll_path;
    DWORD process_id = 0;
};

// Reads what faults_app wrote: its DLL path and its process ID.
bool read_report(const std::wstring &path, report *out) {
    if (!harness::path_exists(path)) {
        return false;
    }
    std::string text = harness::read_file(path);
    size_t line = text.find('\n');
    if (line == std::string::npos) {
        return false;
    }
    out->dll_path = text.substr(0, line);
    out->process_id = (DWORD)strtoul(text.c_str() + line + 1, nullptr, 10);
    return true;
}

std::vector<std::wstring> entries_of(const std::wstring &directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::string parent_directory(const std::string &path) { return path.substr(0, path.rfind('\\')); }

TEST(Faults, TemporaryDirectoryThatCannotBeWrittenGivesTheOpenForWritingMessage) {
    // A temporary directory below a regular file: no directory can be made
    // in it, whoever runs the test (root ignores permission bits).
    std::wstring scratch = harness::make_scratch_directory(L"faults_unwritable_");
    std::wstring blocker = scratch + L"\\not_a_directory";
    HANDLE file = CreateFileW(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    std::wstring temp = blocker + L"\\temp";

    harness::run_options options;
    options.environment = {{L"TEMP", temp}, {L"TMP", temp}};
    options.timeout_ms = run_timeout_ms;
    harness::run_result r = harness::run(faults_app(), {scratch + L"\\report.txt", L"5"}, options);
    r.err = without_cr(r.err);

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 2u);
    std::string prefix = "Error, failed to open '" + harness::narrow(temp) + "\\onefile_";
    std::string suffix = "\\faults_app.dll' for writing.\n";
    EXPECT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
    ASSERT_GE(r.err.size(), suffix.size());
    EXPECT_EQ(r.err.substr(r.err.size() - suffix.size()), suffix) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(harness::path_exists(scratch + L"\\report.txt"));  // the application never ran
    harness::remove_tree(scratch);
}

TEST(Faults, TwentyInstancesAtOnceEachGetTheirOwnDirectoryAndExitCode) {
    const int instances = 20;
    std::wstring scratch = harness::make_scratch_directory(L"faults_twenty_");
    std::wstring temp = scratch + L"\\temp";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    temp_override scope(temp);

    // All started before any is waited for; each sleeps a little so that
    // their runs overlap.
    std::vector<HANDLE> processes;
    for (int i = 0; i < instances; i++) {
        std::wstring report_path = scratch + L"\\report" + std::to_wstring(i) + L".txt";
        HANDLE p = harness::start(faults_app(), {report_path, std::to_wstring(1000 + i), L"500"});
        ASSERT_NE(p, nullptr) << "instance " << i;
        processes.push_back(p);
    }
    std::set<std::string> directories;
    for (int i = 0; i < instances; i++) {
        ASSERT_EQ(WaitForSingleObject(processes[i], run_timeout_ms), WAIT_OBJECT_0) << "instance " << i;
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeProcess(processes[i], &code));
        CloseHandle(processes[i]);
        EXPECT_EQ(code, (DWORD)(1000 + i)) << "instance " << i;
        report seen;
        ASSERT_TRUE(read_report(scratch + L"\\report" + std::to_wstring(i) + L".txt", &seen)) << "instance " << i;
        std::string directory = parent_directory(seen.dll_path);
        EXPECT_NE(directory.find("\\onefile_"), std::string::npos) << directory;
        directories.insert(directory);
    }
    EXPECT_EQ(directories.size(), (size_t)instances) << "two instances shared a target directory";
    EXPECT_TRUE(entries_of(temp).empty()) << "a target directory was left behind";
    harness::remove_tree(scratch);
}

// Killing the parent ends only the parent: the child goes on running the
// application, and nobody removes the target directory afterwards.
TEST(Faults, ParentKilledWhileTheChildRunsLeavesTheChildAndItsDirectory) {
    std::wstring scratch = harness::make_scratch_directory(L"faults_killed_");
    std::wstring temp = scratch + L"\\temp";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    temp_override scope(temp);
    std::wstring report_path = scratch + L"\\report.txt";

    HANDLE parent = harness::start(faults_app(), {report_path, L"7", L"3000"});
    ASSERT_NE(parent, nullptr);
    report seen;
    for (int waited = 0; !read_report(report_path, &seen) && waited < 60000; waited += 20) {
        Sleep(20);
    }
    ASSERT_NE(seen.process_id, 0u) << "the application did not start";
    HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, seen.process_id);
    ASSERT_NE(child, nullptr);

    ASSERT_TRUE(TerminateProcess(parent, 99));
    ASSERT_EQ(WaitForSingleObject(parent, run_timeout_ms), WAIT_OBJECT_0);
    CloseHandle(parent);
    EXPECT_EQ(WaitForSingleObject(child, 0), (DWORD)WAIT_TIMEOUT) << "the child ended with its parent";

    ASSERT_EQ(WaitForSingleObject(child, run_timeout_ms), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(child);

    // Left behind: the whole target directory with every file.
    std::wstring directory = harness::widen(parent_directory(seen.dll_path));
    std::vector<std::wstring> left = entries_of(temp);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(temp + L"\\" + left[0], directory);
    EXPECT_TRUE(harness::path_exists(directory + L"\\faults_app.dll"));
    EXPECT_TRUE(harness::path_exists(directory + L"\\data\\big\\part2.txt"));
    EXPECT_TRUE(harness::path_exists(directory + L"\\config\\settings.ini"));
    harness::remove_tree(scratch);
}

}  // namespace
