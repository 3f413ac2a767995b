// Output of packed executables: what the application DLL writes through the
// C runtime and iostreams reaches pipes and files through the parent and the
// child; fatal lines land on their stream; without any console or handles a
// fatal error still ends the process with its status.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/harness.h"

namespace {

const DWORD fatal_status = 2;

enum class sink { pipe, file };

struct merged_run {
    DWORD exit_code = 0;
    std::string out;  // stdout and stderr together, in arrival order
    DWORD process_id = 0;
};

// Starts `exe args` with stdout and stderr on one and the same pipe or file
// handle, so the order of lines across both streams shows.
merged_run run_merged(const std::wstring &exe, const std::vector<std::wstring> &args, sink where,
                      const std::wstring &scratch) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    std::wstring path = scratch + L"\\merged.txt";
    if (where == sink::pipe) {
        CreatePipe(&read_end, &write_end, &inheritable, 0);
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    } else {
        write_end = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                CREATE_ALWAYS, 0, nullptr);
    }
    std::wstring line = harness::quote_argument(exe);
    for (const auto &a : args) {
        line += L" " + harness::quote_argument(a);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process = {};
    merged_run result;
    BOOL created = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    DWORD error = GetLastError();
    CloseHandle(write_end);
    if (!created) {
        ADD_FAILURE() << "CreateProcessW failed with " << error;
        if (read_end != nullptr) {
            CloseHandle(read_end);
        }
        return result;
    }
    std::thread drain;
    if (where == sink::pipe) {
        drain = std::thread([&] {
            char buffer[4096];
            DWORD n = 0;
            while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0) {
                result.out.append(buffer, n);
            }
        });
    }
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 120000), (DWORD)WAIT_OBJECT_0);
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    result.process_id = process.dwProcessId;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (where == sink::pipe) {
        drain.join();
        CloseHandle(read_end);
    } else {
        result.out = harness::read_file(path);
    }
    return result;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else if (c != '\r') {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        lines.push_back(current);
    }
    return lines;
}

// The lines console_app's print mode writes, in the order it writes them;
// those written to stderr say so.
const std::vector<std::string> printed = {"1 printf", "2 stderr fprintf", "3 puts",  "4 stderr fputs",
                                          "5 cout",   "6 cerr",           "7 fwrite", "8 fputs"};

std::vector<std::string> printed_to(bool to_stderr) {
    std::vector<std::string> out;
    for (const auto &line : printed) {
        bool on_stderr = line.find("stderr") != std::string::npos || line.find("cerr") != std::string::npos;
        if (on_stderr == to_stderr) {
            out.push_back(line);
        }
    }
    return out;
}

class Output : public testing::TestWithParam<sink> {
protected:
    void SetUp() override { scratch = harness::make_scratch_directory(L"velsor_output_"); }
    void TearDown() override { harness::remove_tree(scratch); }
    std::wstring scratch;
};

TEST_P(Output, ApplicationLinesArriveUnbufferedAndInOrder) {
    merged_run run = run_merged(harness::bin_path(L"console_app.exe"), {L"print"}, GetParam(), scratch);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(lines_of(run.out), printed) << run.out;
}

TEST_P(Output, LinesKeepTheirOrderAcrossProcessesOnOneHandle) {
    // The application prints, runs a second packed launcher that prints on
    // the same handles, and prints again.
    merged_run run = run_merged(harness::bin_path(L"console_app.exe"),
                                {L"relay", harness::bin_path(L"console_app.exe")}, GetParam(), scratch);
    EXPECT_EQ(run.exit_code, 0u);
    std::vector<std::string> expected = {"relay before"};
    expected.insert(expected.end(), printed.begin(), printed.end());
    expected.push_back("relay after 0");
    EXPECT_EQ(lines_of(run.out), expected) << run.out;
}

TEST_P(Output, ParentFatalLineAppearsInFull) {
    merged_run run = run_merged(harness::bin_path(L"console_badhead.exe"), {}, GetParam(), scratch);
    EXPECT_EQ(run.exit_code, fatal_status);
    EXPECT_EQ(lines_of(run.out), std::vector<std::string>{"Error, couldn't find attached data header."}) << run.out;
}

TEST_P(Output, ChildFatalLineAppearsInFull) {
    merged_run run = run_merged(harness::bin_path(L"console_missing.exe"), {}, GetParam(), scratch);
    EXPECT_EQ(run.exit_code, fatal_status);
    auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_EQ(lines[0].rfind("Error, load DLL. ([Error 126] ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].back(), ')');
}

INSTANTIATE_TEST_SUITE_P(Sinks, Output, testing::Values(sink::pipe, sink::file),
                         [](const testing::TestParamInfo<sink> &info) {
                             return std::string(info.param == sink::pipe ? "Pipe" : "File");
                         });

// Separate pipes: each line on the stream it was written to.
TEST(OutputStreams, StdoutAndStderrStaySeparate) {
    harness::run_result run = harness::run(harness::bin_path(L"console_app.exe"), {L"print"});
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(lines_of(run.out), printed_to(false)) << run.out;
    EXPECT_EQ(lines_of(run.err), printed_to(true)) << run.err;
}

TEST(OutputStreams, PlainFatalLineGoesToStdout) {
    harness::run_result run = harness::run(harness::bin_path(L"console_badhead.exe"), {});
    EXPECT_EQ(run.exit_code, fatal_status);
    EXPECT_EQ(run.out, "Error, couldn't find attached data header.\r\n");
    EXPECT_EQ(run.err, "");
}

TEST(OutputStreams, FatalLineWithSystemErrorGoesToStderr) {
    harness::run_result run = harness::run(harness::bin_path(L"console_missing.exe"), {});
    EXPECT_EQ(run.exit_code, fatal_status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("Error, load DLL. ([Error 126] ", 0), 0u) << run.err;
    EXPECT_EQ(run.err.substr(run.err.size() - 3), ")\r\n") << run.err;
}

// Started with no console and no standard handles at all.
DWORD run_detached(const std::wstring &exe, DWORD *process_id) {
    std::wstring line = harness::quote_argument(exe);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // all three left null
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(
            /* lpApplicationName    */ exe.c_str(),
            /* lpCommandLine        */ line.data(),
            /* lpProcessAttributes  */ nullptr,
            /* lpThreadAttributes   */ nullptr,
            /* bInheritHandles      */ FALSE,
            /* dwCreationFlags      */ DETACHED_PROCESS,
            /* lpEnvironment        */ nullptr,
            /* lpCurrentDirectory   */ nullptr,
            /* lpStartupInfo        */ &startup,
            /* lpProcessInformation */ &process)) {
        ADD_FAILURE() << "CreateProcessW failed with " << GetLastError();
        return 0xFFFFFFFF;
    }
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 120000), (DWORD)WAIT_OBJECT_0);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &code);
    *process_id = process.dwProcessId;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(NoConsole, ParentFatalErrorStillEndsWithItsStatus) {
    DWORD pid = 0;
    EXPECT_EQ(run_detached(harness::bin_path(L"console_badhead.exe"), &pid), fatal_status);
}

TEST(NoConsole, ChildFatalErrorStillEndsWithItsStatusAndTheDirectoryGoes) {
    DWORD pid = 0;
    EXPECT_EQ(run_detached(harness::bin_path(L"console_missing.exe"), &pid), fatal_status);
    std::wstring prefix = L"onefile_" + std::to_wstring(pid) + L"_";
    for (const auto &name : harness::onefile_directories()) {
        EXPECT_NE(name.rfind(prefix, 0), 0u) << harness::narrow(name);
    }
}

TEST(NoConsole, ApplicationRunsAndPassesItsExitCode) {
    // Output to nowhere must not stop the application either.
    DWORD pid = 0;
    std::wstring exe = harness::bin_path(L"console_app.exe");
    EXPECT_EQ(run_detached(exe, &pid), 99u);  // no mode: the application's own "unknown mode" code
}

}  // namespace
