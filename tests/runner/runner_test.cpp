// The runner DLL starting an existing program (runner_app.c, packed as
// runner_*.exe): exit codes, arguments, Ctrl+C, the job that holds what the
// program started, a killed launcher, the sweep of what killed runs left,
// and programs that cannot start.
#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "program/job.h"
#include "tests/support/harness.h"

namespace {

using harness::bin_path;

const ULONGLONG child_grace_ms = 5000;
const DWORD status_control_c_exit = 0xC000013A;

bool wait_for_file(const std::wstring &path) {
    for (int i = 0; i < 6000 && !harness::path_exists(path); i++) {
        Sleep(10);
    }
    return harness::path_exists(path);
}

class Runner : public testing::Test {
protected:
    void SetUp() override { scratch = harness::make_scratch_directory(L"velsor_runner_"); }
    void TearDown() override {
        harness::remove_tree(scratch);
        harness::remove_tree(harness::temp_directory() + L"\\velsor_runner_cache");
    }
    std::wstring file(const std::wstring &name) const { return scratch + L"\\" + name; }

    // Starts `exe` (runner_console.exe, or runner_cached.exe, where the
    // runner's "child" is the launcher itself), whose program starts a
    // helper and writes "child program helper" process IDs once both run.
    // Null when it did not.
    HANDLE start_spawning_run(DWORD *child, DWORD *program, DWORD *helper,
                              const wchar_t *exe = L"runner_console.exe") {
        std::wstring ready = file(L"ready");
        harness::run_options options;
        options.capture = false;
        HANDLE launcher = harness::start(bin_path(exe), {L"spawn", ready}, options);
        if (launcher == nullptr || !wait_for_file(ready)) {
            return launcher;
        }
        std::istringstream(harness::read_file(ready)) >> *child >> *program >> *helper;
        return launcher;
    }
    std::wstring scratch;
};

TEST_F(Runner, ExitCodesPassThroughWhole) {
    for (DWORD code : {0x0u, 0x1u, 0xC0000005u, 0xC0000135u, 0xFFFFFFFFu}) {
        harness::run_result run = harness::run(bin_path(L"runner_console.exe"), {L"exit", std::to_wstring(code)});
        EXPECT_EQ(run.exit_code, code) << run.out << run.err;
        EXPECT_TRUE(harness::onefile_directories_of(run.process_id).empty());
    }
}

// A program whose DLL is missing ends with the loader's status, as it does
// run directly. velsor-pack warned about the DLL when it packed it
// (tests/host/pack/imports_test.cpp).
TEST_F(Runner, ProgramWithoutItsDllEndsWithTheLoadersStatus) {
    harness::run_options options;
    options.current_directory = scratch;  // not bin\, which holds absent.dll
    harness::run_result run = harness::run(bin_path(L"runner_no_dll.exe"), {L"absent"}, options);
    EXPECT_EQ(run.exit_code, 0xC0000135u) << run.err;
    EXPECT_TRUE(harness::onefile_directories_of(run.process_id).empty());
}

bool process_runs(DWORD process_id) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    bool runs = process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (process != nullptr) {
        CloseHandle(process);
    }
    return runs;
}

void end_process(DWORD process_id) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process_id);
    if (process != nullptr) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}

// A detached helper that the program starts outlives the run when the
// directory is kept; otherwise the run waits for it before the directory goes.
TEST_F(Runner, WhatTheProgramStartsLivesOn) {
    struct mode {
        const wchar_t *exe;
        DWORD helper_ms;
        bool helper_outlives_run;
    };
    for (const mode &m : {mode{L"runner_console.exe", 3000, false}, mode{L"runner_cached.exe", 60000, true}}) {
        SCOPED_TRACE(harness::narrow(m.exe));
        std::wstring ready = file(std::wstring(L"ready_") + m.exe);
        ULONGLONG start = GetTickCount64();
        harness::run_result run = harness::run(bin_path(m.exe), {L"detach", std::to_wstring(m.helper_ms), ready});
        ULONGLONG elapsed = GetTickCount64() - start;
        ASSERT_EQ(run.exit_code, 0u) << run.err;
        DWORD helper = 0;
        std::istringstream(harness::read_file(ready)) >> helper;
        ASSERT_NE(helper, 0u);
        EXPECT_EQ(process_runs(helper), m.helper_outlives_run);
        EXPECT_EQ(elapsed >= m.helper_ms, !m.helper_outlives_run) << elapsed;
        EXPECT_TRUE(harness::onefile_directories_of(run.process_id).empty());
        end_process(helper);
    }
}

// The program's C runtime and CommandLineToArgvW both get back exactly the
// arguments the packed executable was given.
TEST_F(Runner, ArgumentsRoundTrip) {
    const std::vector<std::vector<std::wstring>> cases = {
        {},
        {L""},
        {L"", L"two words", L""},
        {L"\"quoted\"", L"a\"b", L"\"", L"\"\""},
        {L"back\\", L"back\\\\", L"c:\\dir\\", L"a\\\\\\\"b", L"\\\\server\\share\\"},
        {L"tab\there", L"\t", L"new\nline"},
        {L"\u00fcber", L"\u65e5\u672c", L"\U0001F600 x"},
    };
    for (const auto &args : cases) {
        std::wstring out = file(L"args");
        DeleteFileW(out.c_str());
        std::vector<std::wstring> line = {L"args", out};
        line.insert(line.end(), args.begin(), args.end());
        harness::run_result run = harness::run(bin_path(L"runner_console.exe"), line);
        ASSERT_EQ(run.exit_code, 0u) << run.err;
        std::wstring text = harness::read_utf16_file(out);
        std::wstring expected;
        for (const auto &a : args) {
            expected += a + L'\0';
        }
        EXPECT_EQ(text, expected + L'\1' + expected) << harness::narrow(text);
    }
}

struct console_run {
    DWORD exit_code = 0;
    DWORD launcher_pid = 0;
    ULONGLONG elapsed_ms = 0;
    std::string error;
};

// Runs the packed program under console_host.exe (tests/console), which
// sends Ctrl+C to its console once `ready` appears.
console_run run_with_ctrl_c(const std::wstring &scratch, const std::wstring &mode, const std::wstring &ready) {
    std::wstring result = scratch + L"\\host_result";
    harness::run_options options;
    options.capture = false;
    options.creation_flags = CREATE_NEW_CONSOLE;
    harness::run_result host = harness::run(
        bin_path(L"console_host.exe"), {result, L"file:" + ready, bin_path(L"runner_console.exe"), mode, ready},
        options);
    EXPECT_EQ(host.exit_code, 0u);
    console_run run;
    std::istringstream in(harness::read_file(result));
    for (std::string line; std::getline(in, line);) {
        std::string key = line.substr(0, line.find('=')), value = line.substr(line.find('=') + 1);
        if (key == "exit") {
            run.exit_code = (DWORD)std::stoul(value);
        } else if (key == "pid") {
            run.launcher_pid = (DWORD)std::stoul(value);
        } else if (key == "elapsed_ms") {
            run.elapsed_ms = std::stoull(value);
        } else if (key == "error") {
            run.error = value;
        }
    }
    return run;
}

TEST_F(Runner, CtrlCHandledByTheProgram) {
    console_run run = run_with_ctrl_c(scratch, L"wait_ctrl", file(L"ready"));
    EXPECT_EQ(run.error, "");
    // The program's 7, unless the parent's default handling ended it first.
    EXPECT_TRUE(run.exit_code == 7 || run.exit_code == 0 || run.exit_code == status_control_c_exit)
        << run.exit_code;
    EXPECT_LT(run.elapsed_ms, child_grace_ms - 500);
    EXPECT_TRUE(harness::onefile_directories_of(run.launcher_pid).empty());
}

TEST_F(Runner, CtrlCIgnoredByTheProgramEndsAfterTheGrace) {
    console_run run = run_with_ctrl_c(scratch, L"ignore_ctrl", file(L"ready"));
    EXPECT_EQ(run.error, "");
    EXPECT_GE(run.elapsed_ms, child_grace_ms - 300);
    EXPECT_TRUE(harness::onefile_directories_of(run.launcher_pid).empty());
    Sleep(1000);
    EXPECT_EQ(harness::processes_named(L"runner_app.exe"), 0) << "the program outlived its run";
}

// Terminating the child from outside ends the program and what it started.
TEST_F(Runner, ProcessesStartedByTheProgramEndWithTheChild) {
    DWORD child_pid = 0, program_pid = 0, started_pid = 0;
    HANDLE launcher = start_spawning_run(&child_pid, &program_pid, &started_pid);
    ASSERT_TRUE(launcher != nullptr && child_pid != 0);
    HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, child_pid);
    HANDLE program = OpenProcess(SYNCHRONIZE, FALSE, program_pid);
    HANDLE started = OpenProcess(SYNCHRONIZE, FALSE, started_pid);
    ASSERT_TRUE(child != nullptr && program != nullptr && started != nullptr);
    ASSERT_TRUE(TerminateProcess(child, 9));
    EXPECT_EQ(WaitForSingleObject(program, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(started, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(launcher, 30000), WAIT_OBJECT_0);
    DWORD launcher_pid = GetProcessId(launcher);
    for (HANDLE h : {child, program, started, launcher}) {
        CloseHandle(h);
    }
    EXPECT_TRUE(harness::onefile_directories_of(launcher_pid).empty());
}

// Each process of `ids` ends (or is gone already) within 30 s; whatever the
// check found, none is left running.
void expect_ended(std::initializer_list<DWORD> ids) {
    for (DWORD process_id : ids) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
        EXPECT_TRUE(process == nullptr || WaitForSingleObject(process, 30000) == WAIT_OBJECT_0) << process_id;
        CloseHandle(process);
        end_process(process_id);
    }
}

// "End task" on the launcher: the program and what it started end, and the
// next run of a packed program removes the directory that the killed run left.
TEST_F(Runner, KilledLauncherTakesTheRunAlong) {
    DWORD child = 0, program = 0, started = 0;
    HANDLE launcher = start_spawning_run(&child, &program, &started);
    ASSERT_TRUE(launcher != nullptr && child != 0);
    DWORD launcher_pid = GetProcessId(launcher);
    ASSERT_TRUE(TerminateProcess(launcher, 1));
    CloseHandle(launcher);
    expect_ended({child, program, started});
    EXPECT_EQ(harness::onefile_directories_of(launcher_pid).size(), 1u);
    EXPECT_EQ(harness::run(bin_path(L"runner_cached.exe"), {L"exit", L"0"}).exit_code, 0u);
    EXPECT_TRUE(harness::onefile_directories_of(launcher_pid).empty());
}

// With --cache the program runs from the launcher's own process: killed,
// it takes the program and what that started along all the same.
TEST_F(Runner, KilledCachedLauncherTakesTheProgramAlong) {
    DWORD runner = 0, program = 0, started = 0;
    HANDLE launcher = start_spawning_run(&runner, &program, &started, L"runner_cached.exe");
    ASSERT_TRUE(launcher != nullptr && program != 0);
    EXPECT_EQ(runner, GetProcessId(launcher)) << "a second launcher process ran the runner";
    ASSERT_TRUE(TerminateProcess(launcher, 1));
    CloseHandle(launcher);
    expect_ended({program, started});
}

// Directories planted as runs in each state would leave them; a real live
// run beside them. The next packed run removes only those of killed runs.
TEST_F(Runner, SweepRemovesOnlyWhatKilledRunsLeft) {
    harness::run_result ended = harness::run(bin_path(L"runner_console.exe"), {L"exit", L"0"});
    ASSERT_EQ(ended.exit_code, 0u);
    DWORD gone = ended.process_id;  // a launcher that has ended
    struct planted {
        const char *state;
        DWORD launcher;  // 0: a process started after the directory
        bool runner, marker, marker_held, removed;
        std::wstring path;
    };
    std::vector<planted> rows = {
        {"launcher running, runner not there yet", GetCurrentProcessId(), true, false, false, false, {}},
        {"launcher killed, runner still ending the program", gone, true, true, true, false, {}},
        {"launcher and runner killed", gone, true, true, false, true, {}},
        {"killed before the runner started", gone, true, false, false, true, {}},
        {"launcher's ID taken by a later process", 0, true, false, false, true, {}},
        {"a run of an application DLL", gone, false, false, false, false, {}},
        {"another template's name, onefile_<TIME_US>_<RANDOM>", gone, true, false, false, false, {}},
    };
    std::vector<HANDLE> held;
    for (size_t i = 0; i < rows.size(); i++) {
        planted &row = rows[i];
        // The default template's shape: onefile_<pid>_<6 digits>_<11-character token>.
        std::wstring time_us = i + 1 == rows.size() ? L"" : L"000000_";
        row.path = harness::temp_directory() + L"\\onefile_" + std::to_wstring(row.launcher) + L"_" + time_us +
                   L"sweeprow" + std::to_wstring(i) + L"_-";
        CreateDirectoryW(row.path.c_str(), nullptr);
        std::wstring reserved = row.path + L"\\.velsor\\";
        CreateDirectoryW(reserved.c_str(), nullptr);
        if (row.runner) {
            CloseHandle(CreateFileW((reserved + L"runner.dll").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                    nullptr));
        }
        if (row.marker) {  // held as a live runner holds it
            HANDLE marker = CreateFileW((reserved + L"live").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, 0, nullptr);
            row.marker_held ? held.push_back(marker) : (void)CloseHandle(marker);
        }
    }
    // The later process: started after its directory was made (beyond the
    // sweep's allowance for coarse time stamps), then named in it.
    Sleep(1100);
    HANDLE later = harness::start(harness::windows_path(RUNNER_APP_PATH), {L"sleep", L"60000"});
    ASSERT_NE(later, nullptr);
    planted &reused = rows[4];
    std::wstring renamed = harness::temp_directory() + L"\\onefile_" + std::to_wstring(GetProcessId(later)) +
                           L"_000000_sweeprow4_-";
    ASSERT_TRUE(MoveFileW(reused.path.c_str(), renamed.c_str()));
    reused.path = renamed;

    DWORD child = 0, program = 0, started = 0;
    HANDLE live = start_spawning_run(&child, &program, &started);
    ASSERT_TRUE(live != nullptr && child != 0);
    EXPECT_EQ(harness::run(bin_path(L"runner_cached.exe"), {L"exit", L"0"}).exit_code, 0u);
    for (const planted &row : rows) {
        EXPECT_EQ(!harness::path_exists(row.path), row.removed) << row.state;
    }
    for (HANDLE h : held) {
        CloseHandle(h);  // before the removal: a held marker keeps its directory
    }
    for (const planted &row : rows) {
        harness::remove_tree(row.path);
    }
    EXPECT_EQ(harness::onefile_directories_of(GetProcessId(live)).size(), 1u) << "the live run's directory went";
    end_process(started);
    end_process(program);
    EXPECT_EQ(WaitForSingleObject(live, 30000), WAIT_OBJECT_0);
    TerminateProcess(later, 0);
    for (HANDLE h : {live, later}) {
        CloseHandle(h);
    }
}

// The program is created inside its job, not put there after its creation.
TEST(RunnerJob, ProgramIsCreatedInsideItsJob) {
    HANDLE job = create_program_job();
    std::wstring program = harness::windows_path(RUNNER_APP_PATH);
    std::wstring line = L"runner_app exit 5";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_EQ(start_in_job(job, program.c_str(), line.data(), &startup, &process), job_entry_at_creation);
    BOOL inside = FALSE;
    EXPECT_TRUE(IsProcessInJob(process.hProcess, job, &inside) && inside);
    WaitForSingleObject(process.hProcess, 30000);
    DWORD exit_code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &exit_code) && exit_code == 5);
    CloseHandle(process.hProcess);
    CloseHandle(job);
}

// One line naming the program and the system's error, and status 2.
TEST_F(Runner, ProgramThatCannotStart) {
    for (const wchar_t *exe : {L"runner_missing.exe", L"runner_invalid.exe"}) {
        SCOPED_TRACE(harness::narrow(exe));
        harness::run_result run = harness::run(bin_path(exe), {L"absent"});
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("Error, couldn't start program '", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("\\bin\\runner_app.exe' ([Error "), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        EXPECT_TRUE(harness::onefile_directories_of(run.process_id).empty());
    }
}

}  // namespace
