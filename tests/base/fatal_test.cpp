// Fatal error lines and exit statuses, observed from a child process: the
// test program runs itself with VELSOR_FATAL_CASE set, and that instance
// raises the named error before the tests would start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <string>

#include "base/fatal.h"
#include "base/text.h"
#include "tests/support/harness.h"

namespace {

// What an abnormal end gives: fast fail where the processor offers it (as
// Wine does), else status 3.
const DWORD abnormal_status = IsProcessorFeaturePresent(23 /* PF_FASTFAIL_AVAILABLE */) ? 0xC0000409 : 3;
const DWORD no_text_code = 0x2000ABCD;  // customer bit set: no system text
const int utf8_text_mode = 0x40000;      // _O_U8TEXT, as console attachment may set it

int raise_case_from_environment() {
    const wchar_t *which = _wgetenv(L"VELSOR_FATAL_CASE");
    if (which == nullptr) {
        return 0;
    }
    std::wstring c = which;
    if (c == L"code_2") fatal_error_with_code("Error, load DLL.", 2);
    if (c == L"code_hresult") fatal_error_with_code("Error, load DLL.", 0x80070005);
    if (c == L"code_no_text") fatal_error_with_code("Error, load DLL.", no_text_code);
    if (c == L"plain") fatal_error("Error, DLL entry point not found.");
    if (c == L"header") fatal_header_missing();
    if (c == L"memory") fatal_out_of_memory();
    if (c == L"decode") fatal_decode_failed();
    if (c == L"launch") fatal_launch_failed(2);
    if (c == L"unpack") {
        SetLastError(ERROR_DISK_FULL);
        fatal_unpack_failed();
    }
    if (c == L"open") fatal_open_for_writing(L"C:\\dir\\app.dll");
    if (c == L"expand") fatal_expand_failed(L"{TEMP}\\onefile_{NOPE}");
    if (c == L"plain_utf8") {
        _setmode(_fileno(stdout), utf8_text_mode);
        fatal_error("Error, DLL entry point not found.");
    }
    if (c == L"expand_utf8") {
        _setmode(_fileno(stderr), utf8_text_mode);
        fatal_expand_failed(L"{T\u00c9MP}\\\u65e5");
    }
    if (c == L"capacity") capacity_stop();
    if (c == L"quote_one_too_many") {
        // 32767 code units quoted fit with the terminator; one more does not.
        std::wstring argument(32767 - 2 + 1, L'a');
        const wchar_t *argv[] = {L"x", argument.c_str()};
        static wchar_t line[32768];
        quote_command_line(line, 32768, 2, argv);
        return 3;
    }
    return 1;
}

const int raised = raise_case_from_environment();

}  // namespace

harness::run_result raise_in_child(const wchar_t *which) {
    wchar_t self[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    harness::run_options options;
    options.environment.push_back({L"VELSOR_FATAL_CASE", std::wstring(which)});
    return harness::run(self, {}, options);
}

namespace {

// The system's own text for a code, with its line breaks, or "".
std::string system_text(DWORD code) {
    char *text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                             nullptr, code, 0x0409, (LPSTR)&text, 0, nullptr);
    std::string out = n > 0 ? std::string(text, n) : std::string();
    LocalFree(text);
    return out;
}

std::string without_line_breaks(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
    return text;
}

TEST(FatalErrors, SystemTextLineHasItsExactForm) {
    ASSERT_EQ(raised, 0);
    std::string text = system_text(2);
    ASSERT_FALSE(text.empty());
    // The system's text ends in a line break; the line must not.
    ASSERT_TRUE(text.back() == '\n' || text.back() == '\r');
    auto result = raise_in_child(L"code_2");
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, load DLL. ([Error 2] " + without_line_breaks(text) + ")\r\n");
}

TEST(FatalErrors, CodesFromTheTopHalfPrintAsNegativeNumbers) {
    auto result = raise_in_child(L"code_hresult");
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error -2147024891] ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - 3), ")\r\n");
}

TEST(FatalErrors, CodeWithoutSystemTextKeepsTheLineForm) {
    ASSERT_EQ(system_text(no_text_code), "");
    auto result = raise_in_child(L"code_no_text");
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err, "Error, load DLL. ([Error 536914893] unknown error)\r\n");
}

TEST(FatalErrors, PlainMessagesGoToStdoutWithStatus2) {
    const std::pair<const wchar_t *, const char *> cases[] = {
        {L"plain", "Error, DLL entry point not found."},
        {L"header", "Error, couldn't find attached data header."},
        {L"memory", "Error, couldn't allocate memory."},
        {L"decode", "Error, couldn't decode attached data."},
    };
    for (const auto &[which, message] : cases) {
        auto result = raise_in_child(which);
        EXPECT_EQ(result.exit_code, 2u) << message;
        EXPECT_EQ(result.out, std::string(message) + "\r\n");
        EXPECT_EQ(result.err, "");
    }
}

TEST(FatalErrors, MessagesWithCodesOrPathsGoToStderr) {
    auto launch = raise_in_child(L"launch");
    EXPECT_EQ(launch.exit_code, 2u);
    // No full stop after "child".
    EXPECT_EQ(launch.err, "Error, couldn't launch child ([Error 2] " + without_line_breaks(system_text(2)) + ")\r\n");

    auto unpack = raise_in_child(L"unpack");
    EXPECT_EQ(unpack.exit_code, 2u);
    EXPECT_EQ(unpack.err, "Error, couldn't unpack file to target path. ([Error 112] " +
                              without_line_breaks(system_text(ERROR_DISK_FULL)) + ")\r\n");

    auto open = raise_in_child(L"open");
    EXPECT_EQ(open.exit_code, 2u);
    EXPECT_EQ(open.err, "Error, failed to open 'C:\\dir\\app.dll' for writing.\r\n");
    EXPECT_EQ(open.out, "");
}

TEST(FatalErrors, FailedExpansionEndsAbnormallyAfterItsLine) {
    auto result = raise_in_child(L"expand");
    EXPECT_EQ(result.err, "Error, couldn't runtime expand spec '{TEMP}\\onefile_{NOPE}'.\r\n");
    EXPECT_EQ(result.exit_code, abnormal_status);
}

// A stream switched to UTF-8 translation still shows the same line, and a
// path's non-ASCII characters arrive as UTF-8.
TEST(FatalErrors, LinesReadTheSameOnStreamsInUtf8Mode) {
    auto plain = raise_in_child(L"plain_utf8");
    EXPECT_EQ(plain.exit_code, 2u);
    EXPECT_EQ(plain.out, "Error, DLL entry point not found.\r\n");

    auto expand = raise_in_child(L"expand_utf8");
    EXPECT_EQ(expand.exit_code, abnormal_status);
    EXPECT_EQ(expand.err, "Error, couldn't runtime expand spec '{T\xc3\x89MP}\\\xe6\x97\xa5'.\r\n");
}

TEST(FatalErrors, CapacityStopEndsAbnormallyWithoutAMessage) {
    auto result = raise_in_child(L"capacity");
    EXPECT_EQ(result.exit_code, abnormal_status);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

}  // namespace
