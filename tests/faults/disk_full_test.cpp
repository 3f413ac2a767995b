// Full and read-only disks under Wine. Run by disk_full.sh, which mounts
// the two small file systems and names them in VELSOR_FAULTS_FULL_DIR and
// VELSOR_FAULTS_READONLY_DIR (Windows paths); without them the tests skip.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <regex>
#include <string>

#include "tests/support/harness.h"

namespace {

// The launcher's standard streams are in text mode, so its line feeds reach
// a pipe as CR LF; the tests compare lines without the CR.
std::string without_cr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::wstring variable(const wchar_t *name) {
    wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n > 0 && n < 32768 ? std::wstring(value, n) : std::wstring();
}

harness::run_result run_with_temp(const std::wstring &temp, const std::wstring &report) {
    harness::run_options options;
    options.environment = {{L"TEMP", temp}, {L"TMP", temp}};
    options.timeout_ms = 120000;
    harness::run_result r = harness::run(harness::bin_path(L"faults_app.exe"), {report, L"5"}, options);
    r.out = without_cr(r.out);
    r.err = without_cr(r.err);
    return r;
}

TEST(DiskFaults, FullDiskDuringExtractionGivesTheUnpackMessageWithTheSystemError) {
    std::wstring disk = variable(L"VELSOR_FAULTS_FULL_DIR");
    if (disk.empty()) {
        GTEST_SKIP() << "VELSOR_FAULTS_FULL_DIR not set (run through disk_full.sh)";
    }
    std::wstring scratch = harness::make_scratch_directory(L"faults_full_");
    harness::run_result r = run_with_temp(disk, scratch + L"\\report.txt");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 2u);
    // The system's code for the failed write, with its text. A full disk may
    // first show as a short write that reports success; the launcher goes on
    // writing, and the next write fails with ERROR_DISK_FULL.
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, std::regex(R"(Error, couldn't unpack file to target path\. \(\[Error (\d+)\] (.+)\)\n)")))
        << r.err;
    EXPECT_EQ(m[1].str(), "112");
    EXPECT_FALSE(m[2].str().empty());
    printf("full disk reported as: %s", r.err.c_str());
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(harness::path_exists(scratch + L"\\report.txt"));
    harness::remove_tree(scratch);
}

TEST(DiskFaults, ReadOnlyTemporaryDirectoryGivesTheOpenForWritingMessage) {
    std::wstring disk = variable(L"VELSOR_FAULTS_READONLY_DIR");
    if (disk.empty()) {
        GTEST_SKIP() << "VELSOR_FAULTS_READONLY_DIR not set (run through disk_full.sh)";
    }
    std::wstring scratch = harness::make_scratch_directory(L"faults_readonly_");
    harness::run_result r = run_with_temp(disk, scratch + L"\\report.txt");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 2u);
    std::string prefix = "Error, failed to open '" + harness::narrow(disk) + "\\onefile_";
    std::string suffix = "\\faults_app.dll' for writing.\n";
    EXPECT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
    ASSERT_GE(r.err.size(), suffix.size());
    EXPECT_EQ(r.err.substr(r.err.size() - suffix.size()), suffix) << r.err;
    harness::remove_tree(scratch);
}

}  // namespace
