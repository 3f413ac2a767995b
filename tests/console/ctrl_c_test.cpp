// Ctrl+C in the console of a packed executable: the launcher's parent must
// give its child a bounded time, end it if it does not go, and leave no
// onefile_ directory behind, whatever state the run was in.
//
// Each case runs console_host.exe in a console of its own; it starts the
// packed executable in that console and sends Ctrl+C to the whole console.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/harness.h"

namespace {

// How the system's default handling ends a process on Ctrl+C: Windows uses
// STATUS_CONTROL_C_EXIT, Wine exit code 0.
bool default_ctrl_c_ending(DWORD code) { return code == 0xC000013A || code == 0; }
const ULONGLONG child_grace_ms = 5000;

std::map<std::string, std::string> read_key_values(const std::wstring &path) {
    std::map<std::string, std::string> values;
    std::istringstream in(harness::read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

struct console_run {
    DWORD exit_code = 0;
    bool signalled = false;
    ULONGLONG elapsed_ms = 0;
    DWORD launcher_pid = 0;
    std::string error;
};

// Runs `exe args` under console_host.exe in a new console and returns what
// the host saw.
console_run run_in_console(const std::wstring &scratch, const std::wstring &trigger, const std::wstring &exe,
                           const std::vector<std::wstring> &args) {
    std::wstring result_file = scratch + L"\\host_result";
    DeleteFileW(result_file.c_str());
    std::vector<std::wstring> host_args = {result_file, trigger, harness::bin_path(exe)};
    host_args.insert(host_args.end(), args.begin(), args.end());
    harness::run_options options;
    options.capture = false;
    options.creation_flags = CREATE_NEW_CONSOLE;
    options.timeout_ms = 180000;
    harness::run_result host = harness::run(harness::bin_path(L"console_host.exe"), host_args, options);
    EXPECT_FALSE(host.timed_out);
    EXPECT_EQ(host.exit_code, 0u) << host.err;
    auto values = read_key_values(result_file);
    console_run run;
    run.exit_code = (DWORD)std::stoul(values.count("exit") ? values["exit"] : "0");
    run.signalled = values["signalled"] == "1";
    run.elapsed_ms = std::stoull(values.count("elapsed_ms") ? values["elapsed_ms"] : "0");
    run.launcher_pid = (DWORD)std::stoul(values.count("pid") ? values["pid"] : "0");
    run.error = values["error"];
    return run;
}

// The target directory the application reported in its ready file.
std::wstring reported_directory(const std::wstring &ready) {
    return harness::widen(read_key_values(ready)["dir"]);
}

class CtrlC : public testing::Test {
protected:
    void SetUp() override { scratch = harness::make_scratch_directory(L"velsor_ctrl_c_"); }
    void TearDown() override { harness::remove_tree(scratch); }
    std::wstring file(const std::wstring &name) const { return scratch + L"\\" + name; }
    std::wstring scratch;
};

TEST_F(CtrlC, ApplicationThatEndsByItselfRunsItsOwnExitAndTheDirectoryGoes) {
    std::wstring ready = file(L"ready"), marker = file(L"marker");
    console_run run = run_in_console(scratch, L"file:" + ready, L"console_app.exe", {L"wait_ctrl", ready, marker});
    ASSERT_TRUE(run.signalled) << run.error;
    EXPECT_EQ(run.error, "");
    std::wstring directory = reported_directory(ready);
    ASSERT_NE(directory, L"");
    // The application saw the event and went its own way out...
    EXPECT_EQ(harness::read_file(marker), "signalled\n");
    // ...through a normal process exit, which a termination would have skipped.
    EXPECT_EQ(harness::read_file(marker + L".detach"), "detached\n");
    EXPECT_LT(run.elapsed_ms, child_grace_ms - 500) << "the parent sat out the whole grace period";
    // Whichever thread of the parent ends it first: its finish passes the
    // child's 5 on, the system's default handling ends it with its own code.
    EXPECT_TRUE(run.exit_code == 5 || default_ctrl_c_ending(run.exit_code)) << run.exit_code;
    EXPECT_FALSE(harness::path_exists(directory)) << harness::narrow(directory);
    EXPECT_TRUE(harness::onefile_directories_of(run.launcher_pid).empty());
}

TEST_F(CtrlC, ApplicationThatIgnoresItIsTerminatedAfterTheGraceAndTheDirectoryGoes) {
    std::wstring ready = file(L"ready"), marker = file(L"marker");
    console_run run = run_in_console(scratch, L"file:" + ready, L"console_app.exe", {L"ignore_ctrl", ready, marker});
    ASSERT_TRUE(run.signalled) << run.error;
    EXPECT_EQ(run.error, "");
    std::wstring directory = reported_directory(ready);
    ASSERT_NE(directory, L"");
    EXPECT_GE(run.elapsed_ms, child_grace_ms - 300) << "the child was not given its grace period";
    EXPECT_LT(run.elapsed_ms, child_grace_ms + 10000);
    EXPECT_FALSE(harness::path_exists(marker)) << "the child ran to its end";
    EXPECT_FALSE(harness::path_exists(marker + L".detach")) << "the child exited instead of being terminated";
    // Terminated with exit code 0, or ended by the default handling.
    EXPECT_TRUE(run.exit_code == 0 || default_ctrl_c_ending(run.exit_code)) << run.exit_code;
    EXPECT_FALSE(harness::path_exists(directory)) << harness::narrow(directory);
    EXPECT_TRUE(harness::onefile_directories_of(run.launcher_pid).empty());
}

TEST_F(CtrlC, DuringExtractionOfALargePayloadTheDirectoryIsGoneWhenTheParentHasEnded) {
    auto before_list = harness::onefile_directories();
    std::set<std::wstring> before(before_list.begin(), before_list.end());
    std::wstring ready = file(L"ready");
    console_run run = run_in_console(scratch, L"onefile", L"console_big.exe", {L"plain", ready});
    ASSERT_TRUE(run.signalled) << run.error;
    EXPECT_EQ(run.error, "");
    ASSERT_NE(run.launcher_pid, 0u);
    EXPECT_TRUE(harness::onefile_directories_of(run.launcher_pid).empty());
    // Nothing of the run may live on: no child left over that unpacks the
    // payload again on its own or starts the application.
    Sleep(3000);
    EXPECT_EQ(harness::processes_named(L"console_big.exe"), 0);
    for (const auto &name : harness::onefile_directories()) {
        EXPECT_TRUE(before.count(name) != 0) << "appeared after the run: " << harness::narrow(name);
    }
    EXPECT_FALSE(harness::path_exists(ready)) << "the application started after Ctrl+C";
}

TEST_F(CtrlC, FiftyRunsNormalAndInterruptedLeaveNoDirectory) {
    auto before_list = harness::onefile_directories();
    std::set<std::wstring> before(before_list.begin(), before_list.end());
    std::vector<DWORD> launchers;
    for (int i = 0; i < 50; i++) {
        std::wstring ready = file(L"ready" + std::to_wstring(i));
        std::wstring marker = file(L"marker" + std::to_wstring(i));
        switch (i % 3) {
        case 0: {
            harness::run_result run = harness::run(harness::bin_path(L"console_app.exe"), {L"exit", std::to_wstring(i)});
            EXPECT_EQ(run.exit_code, (DWORD)i) << run.err;
            launchers.push_back(run.process_id);
            break;
        }
        case 1: {
            console_run run =
                run_in_console(scratch, L"file:" + ready, L"console_app.exe", {L"wait_ctrl", ready, marker});
            EXPECT_TRUE(run.signalled) << "run " << i << ": " << run.error;
            launchers.push_back(run.launcher_pid);
            break;
        }
        default: {
            // No handler of its own: the default handling ends the child at once.
            console_run run = run_in_console(scratch, L"file:" + ready, L"console_app.exe", {L"plain", ready});
            EXPECT_TRUE(run.signalled) << "run " << i << ": " << run.error;
            EXPECT_LT(run.elapsed_ms, child_grace_ms - 500) << "run " << i;
            launchers.push_back(run.launcher_pid);
            break;
        }
        }
    }
    // A directory an earlier test left under a process ID that Wine has
    // since given to one of these launchers is not theirs.
    for (DWORD pid : launchers) {
        for (const auto &name : harness::onefile_directories_of(pid)) {
            EXPECT_TRUE(before.count(name) != 0) << "launcher " << pid << " left " << harness::narrow(name);
        }
    }
    for (const auto &name : harness::onefile_directories()) {
        EXPECT_TRUE(before.count(name) != 0) << "left behind: " << harness::narrow(name);
    }
}

}  // namespace

namespace {

class ConsoleStreams : public CtrlC {};

// Started on pipes by a harness, the application finds the pipes again:
// the parent hands on the handles its streams use.
TEST_F(ConsoleStreams, ApplicationStartedOnPipesKeepsThePipes) {
    std::wstring report = file(L"streams");
    harness::run_result run = harness::run(harness::bin_path(L"console_app.exe"), {L"streams", report});
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    auto values = read_key_values(report);
    for (const char *name : {"stdout", "stderr"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(values[std::string(name) + ".handle_is_console"], "0");
        EXPECT_EQ(values[std::string(name) + ".handle_type"], std::to_string(FILE_TYPE_PIPE));
        EXPECT_EQ(values[std::string(name) + ".stream_type"], std::to_string(FILE_TYPE_PIPE));
    }
}

}  // namespace
