// attach_console() in a GUI-subsystem program started without a console to
// attach to: which standard handles and streams it leaves behind when
// handles are missing or redirected.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <sstream>
#include <string>

#include "tests/support/harness.h"

namespace {

std::map<std::string, std::string> run_probe(const std::wstring &report, HANDLE in, HANDLE out, HANDLE err) {
    std::wstring exe = harness::bin_path(L"attach_probe.exe");
    std::wstring line = harness::quote_argument(exe) + L" " + harness::quote_argument(report);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    BOOL created = CreateProcessW(
        /* lpApplicationName    */ exe.c_str(),
        /* lpCommandLine        */ line.data(),
        /* lpProcessAttributes  */ nullptr,
        /* lpThreadAttributes   */ nullptr,
        /* bInheritHandles      */ TRUE,
        /* dwCreationFlags      */ DETACHED_PROCESS,
        /* lpEnvironment        */ nullptr,
        /* lpCurrentDirectory   */ nullptr,
        /* lpStartupInfo        */ &startup,
        /* lpProcessInformation */ &process);
    EXPECT_TRUE(created) << GetLastError();
    if (!created) {
        return {};
    }
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), (DWORD)WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::map<std::string, std::string> values;
    std::istringstream text(harness::read_file(report));
    std::string entry;
    while (std::getline(text, entry)) {
        size_t eq = entry.find('=');
        if (eq != std::string::npos) {
            values[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    return values;
}

class Attach : public testing::Test {
protected:
    void SetUp() override { scratch = harness::make_scratch_directory(L"velsor_attach_"); }
    void TearDown() override { harness::remove_tree(scratch); }
    HANDLE inheritable_file(const std::wstring &name) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        return CreateFileW((scratch + L"\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS, 0, nullptr);
    }
    std::wstring scratch;
};

TEST_F(Attach, NoConsoleAndNoHandlesLeavesInvalidHandlesAndUnbufferedOutput) {
    auto v = run_probe(scratch + L"\\report", nullptr, nullptr, nullptr);
    for (const char *name : {"stdin", "stdout", "stderr"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(v[std::string(name) + ".std"], "invalid");
    }
    EXPECT_EQ(v["stdout.unbuffered"], "1");
    EXPECT_EQ(v["stderr.unbuffered"], "1");
}

// Output redirected by a parent without a console: stdout is left as it is.
// (stdin and stderr are meant to be reopened on the NUL device here; Wine's
// runtime refuses to reopen a stream that has no descriptor, so what they
// end up with is not looked at.)
TEST_F(Attach, OnlyStdoutGivenItIsKeptAndBecomesTheStandardHandle) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inheritable, 0));
    auto v = run_probe(scratch + L"\\report", nullptr, write_end, nullptr);
    CloseHandle(write_end);
    CloseHandle(read_end);
    EXPECT_EQ(v["stdout.std"], "pipe");
    EXPECT_EQ(v["stdout.same"], "1");
    EXPECT_EQ(v["stdout.unbuffered"], "1");
    EXPECT_EQ(v["stderr.unbuffered"], "1");
}

TEST_F(Attach, RedirectedFilesAreKeptAndBecomeTheStandardHandles) {
    HANDLE in = inheritable_file(L"in.txt"), out = inheritable_file(L"out.txt"), err = inheritable_file(L"err.txt");
    auto v = run_probe(scratch + L"\\report", in, out, err);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    for (const char *name : {"stdin", "stdout", "stderr"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(v[std::string(name) + ".std"], "disk");
        EXPECT_EQ(v[std::string(name) + ".same"], "1");
    }
    EXPECT_EQ(v["stdout.unbuffered"], "1");
    EXPECT_EQ(v["stderr.unbuffered"], "1");
}

}  // namespace
