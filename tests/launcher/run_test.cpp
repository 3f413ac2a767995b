// Whole runs of real packed executables: extraction, the child's hand-off,
// exit codes, arguments, the role decision and the failures of a run.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace {

using harness::bin_path;

// The probe's report: "key=value" records, each ending in a 0 code unit.
struct report {
    std::vector<std::wstring> argv;
    std::map<std::wstring, std::wstring> values;
};

report read_report(const std::wstring &path) {
    std::wstring text = harness::read_utf16_file(path);
    report r;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\0', start)) != std::wstring::npos; start = end + 1) {
        std::wstring record = text.substr(start, end - start);
        size_t eq = record.find(L'=');
        std::wstring key = record.substr(0, eq), value = record.substr(eq + 1);
        if (key == L"argv") {
            r.argv.push_back(value);
        } else {
            r.values[key] = value;
        }
    }
    return r;
}

class Run : public testing::Test {
protected:
    void SetUp() override {
        scratch_ = harness::make_scratch_directory(L"velsor_run_");
        before_ = harness::onefile_directories();
    }
    void TearDown() override {
        harness::remove_tree(scratch_);
        EXPECT_EQ(harness::onefile_directories(), before_) << "a run left its directory behind";
    }
    std::wstring file(const std::wstring &name) const { return scratch_ + L"\\" + name; }

    // Removes target directories that a failed run keeps by design.
    void tidy_failed_runs() {
        for (const auto &name : harness::onefile_directories()) {
            if (std::find(before_.begin(), before_.end(), name) == before_.end()) {
                harness::remove_tree(harness::temp_directory() + L"\\" + name);
            }
        }
    }

    std::wstring scratch_;
    std::vector<std::wstring> before_;
};

TEST_F(Run, LargeTreeExtractsByteForByte) {
    auto result = harness::run(bin_path(L"bigtree.exe"), {L"hash", file(L"hashes.txt")});
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    std::string expected = harness::read_file(harness::windows_path(VELSOR_BIGTREE_HASHES));
    std::string actual = harness::read_file(file(L"hashes.txt"));
    ASSERT_GT(std::count(expected.begin(), expected.end(), '\n'), 500);
    EXPECT_TRUE(actual == expected) << "extracted tree differs; first 300 bytes:\n" << actual.substr(0, 300);
}

TEST_F(Run, ExitCodesComeBackWhole) {
    for (DWORD code : {0u, 1u, 255u, 256u, 0xC0000005u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u}) {
        auto result = harness::run(bin_path(L"probe.exe"), {L"exit", std::to_wstring(code)});
        EXPECT_EQ(result.exit_code, code);
    }
}

// Random command lines, split by Windows' own CommandLineToArgvW, must reach
// the application as exactly those arguments, as its C runtime splits them.
TEST_F(Run, ArgumentsReachTheApplicationExactly) {
    std::mt19937 random(7);
    const std::wstring pieces[] = {L" ", L"  ", L"\t", L"\"", L"\\", L"\\\\", L"\\\"", L"a", L"word", L"\u00e9",
                                   L"\u65e5\u672c", L"\"\"", L"x y", L"C:\\dir\\"};
    const std::wstring exe = bin_path(L"probe.exe");
    for (int round = 0; round < 250; round++) {
        std::wstring tail;
        int count = (int)(random() % 12);
        for (int i = 0; i < count; i++) {
            tail += pieces[random() % std::size(pieces)];
        }
        std::wstring line = L"probe report " + harness::quote_argument(file(L"args.bin")) + L" " + tail;
        auto expected = harness::split_command_line(line);
        auto result = harness::run_command_line(exe, line);
        ASSERT_EQ(result.exit_code, 0u) << harness::narrow(line) << result.err;
        auto seen = read_report(file(L"args.bin"));
        ASSERT_EQ(seen.argv.size(), expected.size()) << harness::narrow(line);
        EXPECT_TRUE(std::equal(seen.argv.begin() + 1, seen.argv.end(), expected.begin() + 1))
            << harness::narrow(line);
    }
}

TEST_F(Run, EmptyArgumentsArePassedOn) {
    auto result = harness::run(bin_path(L"probe.exe"), {L"report", file(L"r.bin"), L"", L"b", L""});
    ASSERT_EQ(result.exit_code, 0u);
    auto seen = read_report(file(L"r.bin"));
    ASSERT_EQ(seen.argv.size(), 6u);
    EXPECT_EQ(seen.argv[3], L"");
    EXPECT_EQ(seen.argv[4], L"b");
    EXPECT_EQ(seen.argv[5], L"");
}

TEST_F(Run, ApplicationSeesWhereItCameFrom) {
    // Argument 0 as typed: relative and without extension.
    std::wstring line = L"probe report " + harness::quote_argument(file(L"r.bin"));
    harness::run_options options;
    options.current_directory = harness::windows_path(VELSOR_TEST_BIN_DIR);
    auto result = harness::run_command_line(bin_path(L"probe.exe"), line, options);
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    auto seen = read_report(file(L"r.bin"));

    EXPECT_EQ(seen.values[L"VELSOR_ORIGINAL_ARGV0"], L"probe");
    wchar_t module[MAX_PATH * 4];
    GetFullPathNameW(bin_path(L"probe.exe").c_str(), MAX_PATH * 4, module, nullptr);
    EXPECT_EQ(_wcsicmp(seen.argv[0].c_str(), module), 0) << harness::narrow(seen.argv[0]);
    EXPECT_EQ(_wcsicmp(seen.values[L"VELSOR_ONEFILE_DIRECTORY"].c_str(),
                       harness::windows_path(VELSOR_TEST_BIN_DIR).c_str()),
              0);
    EXPECT_EQ(seen.values[L"cwd"], options.current_directory);

    // The child ran in its own process below the parent's, from the
    // parent's directory: onefile_<parent pid>_<6 digits>_<11 token characters>.
    EXPECT_EQ(seen.values[L"VELSOR_ONEFILE_PARENT"], std::to_wstring(result.process_id));
    EXPECT_NE(seen.values[L"pid"], std::to_wstring(result.process_id));
    std::wstring dll = seen.values[L"dll_path"];
    std::wstring expected_dir = harness::temp_directory() + L"\\onefile_" + std::to_wstring(result.process_id) + L"_" +
                                seen.values[L"VELSOR_ONEFILE_TIME_US"] + L"_" +
                                seen.values[L"VELSOR_ONEFILE_RANDOM"];
    EXPECT_EQ(dll, expected_dir + L"\\probe.dll");
    std::wsmatch match;
    std::wstring name = dll.substr(harness::temp_directory().size() + 1);
    EXPECT_TRUE(std::regex_match(name, match, std::wregex(L"onefile_[0-9]+_[0-9]{6}_[A-Za-z0-9_-]{11}\\\\probe\\.dll")))
        << harness::narrow(name);
    EXPECT_FALSE(harness::path_exists(expected_dir));
}

// Values of VELSOR_ONEFILE_PARENT that do not name a running instance of
// the same executable make a parent: it extracts and starts a child.
TEST_F(Run, RoleDecisionFallsBackToParent) {
    HANDLE other = harness::start(L"C:\\windows\\system32\\cmd.exe", {L"/c", L"ping -n 20 127.0.0.1 >NUL"});
    ASSERT_NE(other, nullptr);
    DWORD other_pid = GetProcessId(other);
    auto ended = harness::run(bin_path(L"probe.exe"), {L"exit", L"0"});
    std::vector<std::optional<std::wstring>> values = {
        std::nullopt, L"", L"abc", L"12x", L"99999999999", L"-5", std::to_wstring(ended.process_id),
        std::to_wstring(other_pid)};
    for (const auto &value : values) {
        SCOPED_TRACE(value ? harness::narrow(*value) : "(absent)");
        harness::run_options options;
        options.environment.push_back({L"VELSOR_ONEFILE_PARENT", value});
        auto result = harness::run(bin_path(L"probe.exe"), {L"report", file(L"r.bin")}, options);
        ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
        auto seen = read_report(file(L"r.bin"));
        EXPECT_EQ(seen.values[L"VELSOR_ONEFILE_PARENT"], std::to_wstring(result.process_id));
        EXPECT_NE(seen.values[L"pid"], std::to_wstring(result.process_id));
    }
    TerminateProcess(other, 0);
    CloseHandle(other);
}

// Naming a running instance of the same executable makes a child: it runs
// the application from that instance's directory in its own process.
TEST_F(Run, RunningInstanceOfTheSameExecutableMakesAChild) {
    HANDLE first = harness::start(bin_path(L"probe.exe"), {L"report-then-sleep", file(L"first.bin"), L"8000"});
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 200 && !harness::path_exists(file(L"first.bin")); i++) {
        Sleep(50);
    }
    Sleep(200);
    auto running = read_report(file(L"first.bin"));
    harness::run_options options;
    for (const wchar_t *name : {L"VELSOR_ONEFILE_PARENT", L"VELSOR_ONEFILE_TIME_US", L"VELSOR_ONEFILE_RANDOM"}) {
        options.environment.push_back({name, running.values[name]});
    }
    auto result = harness::run(bin_path(L"probe.exe"), {L"report", file(L"second.bin")}, options);
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    auto seen = read_report(file(L"second.bin"));
    EXPECT_EQ(seen.values[L"pid"], std::to_wstring(result.process_id));  // no further child
    EXPECT_EQ(seen.values[L"dll_path"], running.values[L"dll_path"]);

    // Without the first instance's time and token, the child finds no
    // directory of its own and cannot load the application.
    harness::run_options fresh;
    fresh.environment.push_back({L"VELSOR_ONEFILE_PARENT", running.values[L"VELSOR_ONEFILE_PARENT"]});
    fresh.environment.push_back({L"VELSOR_ONEFILE_TIME_US", std::nullopt});
    fresh.environment.push_back({L"VELSOR_ONEFILE_RANDOM", std::nullopt});
    auto missing = harness::run(bin_path(L"probe.exe"), {L"exit", L"0"}, fresh);
    EXPECT_EQ(missing.exit_code, 2u);
    EXPECT_EQ(missing.err.rfind("Error, load DLL. ([Error 126] ", 0), 0u) << missing.err;

    WaitForSingleObject(first, 30000);
    CloseHandle(first);
}

TEST_F(Run, ChildFailuresEndTheParentWithStatus2AndRemoveTheDirectory) {
    auto not_a_dll = harness::run(bin_path(L"not_a_dll.exe"), {});
    EXPECT_EQ(not_a_dll.exit_code, 2u);
    EXPECT_EQ(not_a_dll.err.rfind("Error, load DLL. ([Error ", 0), 0u) << not_a_dll.err;

    auto no_entry = harness::run(bin_path(L"no_run_code.exe"), {});
    EXPECT_EQ(no_entry.exit_code, 2u);
    EXPECT_EQ(no_entry.out, "Error, DLL entry point not found.\r\n");
}

TEST_F(Run, PayloadWithoutEntriesFailsInTheChild) {
    auto result = harness::run(bin_path(L"empty.exe"), {});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, payload holds no application DLL.\r\n");
}

TEST_F(Run, FileThatCannotBeCreatedIsReportedWithItsPath) {
    auto result = harness::run(bin_path(L"blocked_path.exe"), {});
    tidy_failed_runs();
    EXPECT_EQ(result.exit_code, 2u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(result.err, match,
                                 std::regex("Error, failed to open '(.*\\\\onefile_[^\\\\]+)\\\\x\\\\y\\.txt' for writing\\.\r\n")))
        << result.err;
    EXPECT_EQ(result.out, "");
}

TEST_F(Run, NameBeyondTheNameBufferEndsAbnormally) {
    auto result = harness::run(bin_path(L"long_name.exe"), {});
    tidy_failed_runs();
    EXPECT_TRUE(result.exit_code == 0xC0000409 || result.exit_code == 3) << std::hex << result.exit_code;
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_FALSE(result.timed_out);
}

}  // namespace
