// notes.exe: built by examples/cmake-project, a CMake project of its own, in
// the apps_cmake_project_build step of this test run. The lists it prints
// ship in its notes\ sub-directory; the test reads the same files from the
// example's source to know what to expect.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace {

const std::wstring notes_exe = harness::windows_path(VELSOR_APPS_NOTES_EXE);

// The non-empty lines of a text file, without line ends.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

std::vector<std::string> source_notes(const std::string &list) {
    return lines_of(harness::read_file(harness::windows_path(VELSOR_APPS_NOTES_SOURCE "/" + list + ".txt")));
}

// What notes.exe must print for `list`, after its header line.
std::vector<std::string> numbered(const std::vector<std::string> &notes) {
    std::vector<std::string> out;
    for (size_t i = 0; i < notes.size(); i++) {
        out.push_back(std::to_string(i + 1) + ". " + notes[i]);
    }
    return out;
}

void expect_list(const harness::run_result &r, const std::string &list) {
    std::vector<std::string> notes = source_notes(list);
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(r.exit_code, notes.size()) << r.err;
    std::vector<std::string> out = lines_of(r.out);
    ASSERT_FALSE(out.empty()) << r.err;
    EXPECT_EQ(out.front().rfind("notes ", 0), 0u) << out.front();
    EXPECT_NE(out.front().find("list " + list), std::string::npos) << out.front();
    EXPECT_EQ(std::vector<std::string>(out.begin() + 1, out.end()), numbered(notes));
}

}  // namespace

TEST(AppsCmakeProject, PrintsTheDefaultListShippedBesideItsDll) {
    ASSERT_TRUE(harness::path_exists(notes_exe)) << "apps_cmake_project_build did not run";
    std::vector<std::wstring> before = harness::onefile_directories();
    harness::run_result r = harness::run(notes_exe, {});
    ASSERT_FALSE(r.timed_out);
    expect_list(r, "today");
    EXPECT_EQ(harness::onefile_directories(), before);
}

TEST(AppsCmakeProject, PrintsTheListNamedOnTheCommandLine) {
    harness::run_result r = harness::run(notes_exe, {L"later"});
    ASSERT_FALSE(r.timed_out);
    expect_list(r, "later");
}

TEST(AppsCmakeProject, MissingListEndsWithMinusOne) {
    harness::run_result r = harness::run(notes_exe, {L"never"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0xFFFFFFFFu);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no list 'never'"), std::string::npos) << r.err;
}
