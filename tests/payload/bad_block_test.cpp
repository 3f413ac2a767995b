// Executables whose payload block is bad must refuse it with their message
// and status 2, promptly.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/harness.h"

namespace {

const char decode_failed[] = "Error, couldn't decode attached data.\r\n";
const char header_missing[] = "Error, couldn't find attached data header.\r\n";

// Runs a packed executable and removes any target directory it left
// behind (a fatal error leaves what was extracted).
harness::run_result run_and_tidy(const std::wstring &exe) {
    auto before = harness::onefile_directories();
    harness::run_options options;
    options.timeout_ms = 60000;
    auto result = harness::run(harness::bin_path(exe), {}, options);
    for (const auto &name : harness::onefile_directories()) {
        if (std::find(before.begin(), before.end(), name) == before.end()) {
            harness::remove_tree(harness::temp_directory() + L"\\" + name);
        }
    }
    return result;
}

TEST(BadBlocks, UndecodableDataEndsWithTheDecodeMessage) {
    for (const wchar_t *exe : {L"bad_window_too_large.exe", L"bad_dictionary.exe", L"bad_checksum.exe",
                               L"bad_corrupt.exe", L"bad_no_terminator.exe", L"bad_truncated_data.exe",
                               L"bad_not_a_frame.exe"}) {
        SCOPED_TRACE(harness::narrow(exe));
        auto result = run_and_tidy(exe);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, decode_failed);
        EXPECT_EQ(result.err, "");
    }
}

TEST(BadBlocks, AnyWrongHeaderByteIsRefusedBeforeExtraction) {
    for (const wchar_t *exe : {L"bad_header_0.exe", L"bad_header_1.exe", L"bad_header_2.exe"}) {
        SCOPED_TRACE(harness::narrow(exe));
        auto before = harness::onefile_directories();
        auto result = run_and_tidy(exe);
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, header_missing);
        // Refused before the first file: no target directory was created.
        EXPECT_EQ(harness::onefile_directories(), before);
    }
}

}  // namespace
