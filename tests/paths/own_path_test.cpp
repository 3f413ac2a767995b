// Own-path resolution: bounded copies, final paths and their prefixes,
// short directory parts, the two cached variants of the executable's path,
// and the full path of the target directory.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "base/layout.h"
#include "base/text.h"
#include "paths/own_path.h"
#include "tests/paths/child.h"

namespace {

const size_t path_capacity = 4096;

std::wstring in_place(void (*operation)(wchar_t *, size_t), const std::wstring &text,
                      size_t capacity = path_capacity) {
    std::vector<wchar_t> buffer(capacity, L'#');
    wcscpy(buffer.data(), text.c_str());
    operation(buffer.data(), capacity);
    return buffer.data();
}

std::wstring resolved(const std::wstring &path, bool resolve = true) {
    std::vector<wchar_t> buffer(path_capacity, L'#');
    wcscpy(buffer.data(), path.c_str());
    resolve_final_path(buffer.data(), path_capacity, resolve);
    return buffer.data();
}

std::wstring long_form(const std::wstring &path) {
    wchar_t buffer[MAX_PATH * 4];
    DWORD n = GetLongPathNameW(path.c_str(), buffer, MAX_PATH * 4);
    return n == 0 ? L"" : std::wstring(buffer, n);
}

std::wstring short_form(const std::wstring &path) {
    wchar_t buffer[MAX_PATH * 4];
    DWORD n = GetShortPathNameW(path.c_str(), buffer, MAX_PATH * 4);
    return n == 0 ? L"" : std::wstring(buffer, n);
}

bool same_path(const std::wstring &a, const std::wstring &b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

std::wstring directory_part(const std::wstring &path) { return path.substr(0, path.rfind(L'\\')); }
std::wstring name_part(const std::wstring &path) { return path.substr(path.rfind(L'\\') + 1); }

// Every component in 8.3 form: no blanks, at most 8 + 1 + 3 characters.
bool looks_short(const std::wstring &directory) {
    size_t start = directory.find(L'\\') + 1;  // after the drive
    while (start < directory.size()) {
        size_t end = directory.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = directory.size();
        }
        std::wstring component = directory.substr(start, end - start);
        if (component.size() > 12 || component.find(L' ') != std::wstring::npos) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

void touch(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
}

// A scratch directory holding "long directory name\long file name.txt".
class LongNames : public testing::Test {
protected:
    void SetUp() override {
        root = harness::make_scratch_directory(L"velsor_paths_");
        directory = root + L"\\long directory name";
        file = directory + L"\\long file name.txt";
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        touch(file);
        short_directory = short_form(directory);
        ASSERT_FALSE(short_directory.empty());
        ASSERT_FALSE(same_path(short_directory, directory)) << "the file system gives no short names";
    }
    void TearDown() override { harness::remove_tree(root); }

    std::wstring root, directory, file, short_directory;
};

/*-**** Bounded copy ****/

TEST(CopyBounded, CopiesWithTerminatorAndMovesTextForward) {
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    copy_bounded(buffer, L"1234567", 8);
    EXPECT_STREQ(buffer, L"1234567");

    wchar_t moving[16] = L"\\\\?\\C:\\x\\y";
    copy_bounded(moving, moving + 4, 16);
    EXPECT_STREQ(moving, L"C:\\x\\y");
}

TEST(CopyBounded, SourceOneTooLongEndsTheProcess) {
    harness::run_result fits = paths_test::run_child({L"copy", L"8", L"1234567"});
    EXPECT_EQ(fits.exit_code, 0u) << fits.err;
    EXPECT_EQ(paths_test::output_lines(fits), std::vector<std::wstring>{L"1234567"});
    harness::run_result stopped = paths_test::run_child({L"copy", L"8", L"12345678"});
    EXPECT_EQ(stopped.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(stopped.out, "");
}

/*-**** Final-path prefixes ****/

TEST(FinalPathPrefix, DriveAndUncFormsLoseTheirPrefix) {
    auto strip = [](const std::wstring &path) { return in_place(strip_final_path_prefix, path); };
    EXPECT_EQ(strip(L"\\\\?\\C:\\dir\\app.exe"), L"C:\\dir\\app.exe");
    EXPECT_EQ(strip(L"\\\\?\\c:"), L"c:");
    EXPECT_EQ(strip(L"\\\\?\\UNC\\server\\share\\dir\\app.exe"), L"\\\\server\\share\\dir\\app.exe");
    EXPECT_EQ(strip(L"\\\\?\\UNC\\s"), L"\\\\s");
}

TEST(FinalPathPrefix, OtherFormsStayAsTheyAre) {
    auto strip = [](const std::wstring &path) { return in_place(strip_final_path_prefix, path); };
    for (const wchar_t *path : {L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\dir\\app.exe",
                                L"\\\\?\\unc\\server\\share\\app.exe", L"\\\\?\\Unc\\server\\share",
                                L"\\\\?\\C\\dir", L"\\\\?\\", L"\\\\?\\C", L"\\\\.\\C:\\dir", L"C:\\dir\\app.exe",
                                L"\\\\server\\share\\app.exe", L"", L"\\\\?\\UNC"}) {
        EXPECT_EQ(strip(path), path);
    }
}

/*-**** Final path ****/

TEST_F(LongNames, ResolvingGivesTheLongFinalPath) {
    std::wstring through_short = short_directory + L"\\" + name_part(file);
    std::wstring result = resolved(through_short);
    EXPECT_TRUE(same_path(result, file)) << harness::narrow(result);
    EXPECT_NE(result.rfind(L"\\long directory name\\long file name.txt"), std::wstring::npos);

    std::wstring from_prefixed = resolved(L"\\\\?\\" + file);
    EXPECT_TRUE(same_path(from_prefixed, file)) << harness::narrow(from_prefixed);

    EXPECT_EQ(resolved(through_short, false), through_short);
}

TEST(FinalPath, UnopenableFileStaysUnchanged) {
    for (const wchar_t *path : {L"C:\\velsor no such dir\\x.exe", L"\\\\?\\C:\\velsor no such dir\\x.exe", L"",
                                L"relative name that does not exist"}) {
        EXPECT_EQ(resolved(path), path);
    }
}

TEST_F(LongNames, FinalPathTooLongForTheCapacityEndsTheProcess) {
    // The system reports the final path as \\?\ and the long path; that
    // whole text and its terminator must fit, even though the prefix is
    // removed afterwards.
    std::wstring through_short = short_directory + L"\\" + name_part(file);
    const size_t prefix_length = 4;
    ASSERT_LT(through_short.size(), file.size());
    std::wstring capacity = std::to_wstring(file.size() + prefix_length);
    harness::run_result stopped = paths_test::run_child({L"resolve", capacity, through_short});
    EXPECT_EQ(stopped.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(stopped.out, "");

    capacity = std::to_wstring(file.size() + prefix_length + 1);
    harness::run_result fits = paths_test::run_child({L"resolve", capacity, through_short});
    EXPECT_EQ(fits.exit_code, 0u) << fits.err;
    std::vector<std::wstring> lines = paths_test::output_lines(fits);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(same_path(lines[0], file)) << harness::narrow(lines[0]);
}

/*-**** Short directory part ****/

TEST_F(LongNames, DirectoryPartIsShortenedAndTheNameKept) {
    std::wstring result = in_place(shorten_directory_part, file);
    EXPECT_EQ(name_part(result), L"long file name.txt");
    EXPECT_TRUE(looks_short(directory_part(result))) << harness::narrow(result);
    EXPECT_TRUE(same_path(long_form(directory_part(result)), directory)) << harness::narrow(result);
}

TEST_F(LongNames, PathWithoutBackslashIsShortenedWhole) {
    wchar_t saved[MAX_PATH * 4];
    GetCurrentDirectoryW(MAX_PATH * 4, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(directory.c_str()));
    std::wstring result = in_place(shorten_directory_part, L"long file name.txt");
    std::wstring missing = in_place(shorten_directory_part, L"no such file.txt");
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(result.find(L'\\'), std::wstring::npos) << harness::narrow(result);
    EXPECT_NE(result, L"long file name.txt");
    EXPECT_TRUE(looks_short(L"\\" + result)) << harness::narrow(result);
    EXPECT_TRUE(same_path(long_form(directory + L"\\" + result), file)) << harness::narrow(result);
    EXPECT_EQ(missing, L"no such file.txt");
}

TEST(ShortDirectory, MissingDirectoryStaysLong) {
    for (const wchar_t *path : {L"C:\\velsor no such dir\\long file name.exe", L"\\name only after a backslash"}) {
        EXPECT_EQ(in_place(shorten_directory_part, path), path);
    }
}

/*-**** Own executable ****/

TEST(OwnPath, PlainVariantIsWhatTheSystemReportsAndBothAreCached) {
    wchar_t module[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, module, MAX_PATH * 4);

    const wchar_t *plain = get_own_executable_path(false);
    EXPECT_STREQ(plain, module);
    const wchar_t *resolved_path = get_own_executable_path(true);
    std::wstring resolved_text = resolved_path;
    EXPECT_EQ(get_own_executable_path(true), resolved_path);
    EXPECT_EQ(get_own_executable_path(false), plain);
    EXPECT_NE(resolved_path, plain);
    EXPECT_EQ(resolved_text, resolved_path) << "asking for the plain variant left the resolved one alone";
    EXPECT_STREQ(plain, module);
    EXPECT_EQ(resolved_text.rfind(L"\\\\?\\", 0), std::wstring::npos);
    EXPECT_EQ(name_part(resolved_text), name_part(module));
}

TEST_F(LongNames, ResolvedVariantHasShortDirectoryAndLongFileName) {
    const std::wstring exe = directory + L"\\own path probe with a long name.exe";
    ASSERT_TRUE(CopyFileW(paths_test::child_path().c_str(), exe.c_str(), FALSE));
    harness::run_result r = harness::run(exe, {L"own-path"});
    ASSERT_EQ(r.exit_code, 0u) << r.err;
    std::vector<std::wstring> lines = paths_test::output_lines(r);
    ASSERT_EQ(lines.size(), 2u);
    const std::wstring &resolved_path = lines[0], &plain = lines[1];

    EXPECT_TRUE(same_path(plain, exe)) << harness::narrow(plain);
    EXPECT_EQ(resolved_path.rfind(L"\\\\?\\", 0), std::wstring::npos) << harness::narrow(resolved_path);
    ASSERT_GE(resolved_path.size(), 3u);
    EXPECT_TRUE(iswalpha(resolved_path[0]) && resolved_path.compare(1, 2, L":\\") == 0)
        << harness::narrow(resolved_path);
    EXPECT_EQ(name_part(resolved_path), L"own path probe with a long name.exe");
    EXPECT_TRUE(looks_short(directory_part(resolved_path))) << harness::narrow(resolved_path);
    EXPECT_TRUE(same_path(long_form(directory_part(resolved_path)), directory)) << harness::narrow(resolved_path);
}

/*-**** Target directory ****/

// A path of `length` characters made of 200-character components under `head`.
std::wstring deep_path(const std::wstring &head, size_t length) {
    std::wstring path = head;
    while (path.size() < length) {
        if (path.back() != L'\\') {
            path.push_back(L'\\');
        }
        path.append(std::min<size_t>(200, length - path.size()), L'd');
    }
    return path;
}

std::wstring normalized(const std::wstring &directory) {
    static wchar_t target[payload_path_capacity];
    copy_bounded(target, directory.c_str(), payload_path_capacity);
    normalize_target_directory(target);
    return target;
}

TEST(TargetDirectory, BecomesAFullPath) {
    wchar_t current[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryW(MAX_PATH * 4, current);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(normalized(L"sub\\.\\dir"), std::wstring(current) + (current[n - 1] == L'\\' ? L"" : L"\\") +
                                             L"sub\\dir");
    EXPECT_EQ(normalized(L"C:\\a\\b\\..\\c"), L"C:\\a\\c");
}

TEST(TargetDirectory, FullPathOf4095CharactersFitsAnd4096EndsTheProcess) {
    const std::wstring absolute = deep_path(L"C:\\", 4095);
    ASSERT_EQ(absolute.size(), 4095u);
    EXPECT_EQ(normalized(absolute), absolute);

    // A path from the root of the current drive gains the drive's two
    // characters: 4093 become 4095, 4094 become 4096.
    wchar_t current[MAX_PATH * 4];
    GetCurrentDirectoryW(MAX_PATH * 4, current);
    const std::wstring drive(current, 2);
    const std::wstring from_root = deep_path(L"\\", 4093);
    harness::run_result fits = paths_test::run_child({L"normalize", from_root});
    EXPECT_EQ(fits.exit_code, 0u) << fits.err;
    EXPECT_EQ(paths_test::output_lines(fits), std::vector<std::wstring>{drive + from_root});

    harness::run_result stopped = paths_test::run_child({L"normalize", from_root + L"d"});
    EXPECT_EQ(stopped.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(stopped.out, "");
}

}  // namespace
