// Path template expansion: scanning, the placeholder table, the cache
// variables shared with child processes, and the two ways of running out
// of room.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "paths/env.h"
#include "paths/template.h"
#include "tests/paths/child.h"

namespace {

const size_t full_capacity = 4096;
const size_t guard_units = 64;
const wchar_t guard_unit = 0xBEEF;

struct expansion {
    bool ok;
    std::wstring text;
};

// Expands into a buffer of exactly `capacity` units, prefilled with junk and
// followed by a guard area that must stay untouched.
expansion expand(const std::wstring &path_template, size_t capacity = full_capacity) {
    std::vector<wchar_t> buffer(capacity + guard_units, guard_unit);
    bool ok = expand_path_template(buffer.data(), path_template.c_str(), capacity);
    for (size_t i = capacity; i < buffer.size(); i++) {
        EXPECT_EQ(buffer[i], guard_unit) << "written past the capacity at " << i;
    }
    return {ok, std::wstring(buffer.data(), wcsnlen(buffer.data(), capacity))};
}

std::wstring expanded(const std::wstring &path_template) {
    expansion e = expand(path_template);
    EXPECT_TRUE(e.ok) << harness::narrow(path_template);
    return e.text;
}

// Runs `expand CAPACITY TEMPLATE` in paths_child.exe with `argument0` as its
// argument 0 and returns {result line, output line}.
harness::run_result expand_in_child(const std::wstring &path_template, size_t capacity = full_capacity,
                                    const harness::run_options &options = {}, const std::wstring &argument0 = L"") {
    std::wstring zero = argument0.empty() ? harness::quote_argument(paths_test::child_path()) : argument0;
    std::wstring line = zero + L" expand " + std::to_wstring(capacity) + L" " + harness::quote_argument(path_template);
    return paths_test::run_child_command_line(line, options);
}

std::vector<std::wstring> child_expansion(const std::wstring &path_template, const harness::run_options &options = {},
                                          const std::wstring &argument0 = L"") {
    harness::run_result r = expand_in_child(path_template, full_capacity, options, argument0);
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    return paths_test::output_lines(r);
}

std::vector<std::wstring> split(const std::wstring &text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::wstring::npos) {
            return parts;
        }
        start = end + 1;
    }
}

bool all_digits(const std::wstring &text) {
    return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

long long filetime_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (long long)(((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime);
}

void clear_caches() {
    for (const char *name : {"VELSOR_ONEFILE_RANDOM", "VELSOR_ONEFILE_TIME_US", "VELSOR_ONEFILE_START"}) {
        env_unset(name);
    }
}

/*-**** Scanning ****/

TEST(TemplateScan, EmptyTemplateGivesEmptyOutput) {
    expansion e = expand(L"");
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.text, L"");
}

TEST(TemplateScan, UnknownOrEmptyNamesFail) {
    EXPECT_FALSE(expand(L"{}").ok);
    EXPECT_FALSE(expand(L"{NOPE}").ok);
    expansion partial = expand(L"ab{TEMPO}cd");
    EXPECT_FALSE(partial.ok);
    EXPECT_EQ(partial.text, L"ab") << "the output keeps what was produced before the failure";
}

TEST(TemplateScan, OpeningBraceRestartsTheName) {
    const std::wstring temp = expanded(L"{TEMP}");
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(expanded(L"{A{TEMP}"), temp);
    EXPECT_EQ(expanded(L"x{NOPE{TEMP}y"), L"x" + temp + L"y");
}

TEST(TemplateScan, OpenPlaceholderAtTheEndIsDropped) {
    expansion e = expand(L"abc{TEMP");
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.text, L"abc");
}

TEST(TemplateScan, NamesIgnoreAsciiCase) {
    const std::wstring temp = expanded(L"{TEMP}");
    EXPECT_EQ(expanded(L"{temp}"), temp);
    EXPECT_EQ(expanded(L"{Temp}"), temp);
    env_set("VELSOR_ONEFILE_PARENT", L"77");
    EXPECT_EQ(expanded(L"{pId}"), L"77");
    env_unset("VELSOR_ONEFILE_PARENT");
}

TEST(TemplateScan, ClosingBraceOutsidePlaceholderFails) {
    expansion e = expand(L"ab}cd");
    EXPECT_FALSE(e.ok);
    EXPECT_EQ(e.text, L"ab");
}

TEST(TemplateScan, OverlongNameIsUnknown) {
    EXPECT_FALSE(expand(L"{" + std::wstring(1023, L'X') + L"}").ok);
    EXPECT_FALSE(expand(L"{" + std::wstring(5000, L'X') + L"}").ok);
    // A '{' after an over-long name starts a fresh one.
    EXPECT_EQ(expanded(L"{" + std::wstring(5000, L'X') + L"{TEMP}"), expanded(L"{TEMP}"));
}

/*-**** System folders ****/

TEST(TemplateFolders, TempIsTheTemporaryDirectoryWithOneSeparator) {
    const std::wstring temp = harness::temp_directory();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(expanded(L"{TEMP}"), temp);
    EXPECT_EQ(expanded(L"{TEMP}\\x"), temp + L"\\x");
    EXPECT_EQ(expanded(L"{TEMP}\\onefile_a"), temp + L"\\onefile_a");
}

TEST(TemplateFolders, RootTemporaryDirectoryLosesItsBackslash) {
    wchar_t saved_tmp[MAX_PATH + 1] = {}, saved_temp[MAX_PATH + 1] = {};
    DWORD had_tmp = GetEnvironmentVariableW(L"TMP", saved_tmp, MAX_PATH + 1);
    DWORD had_temp = GetEnvironmentVariableW(L"TEMP", saved_temp, MAX_PATH + 1);
    SetEnvironmentVariableW(L"TMP", L"C:\\");
    SetEnvironmentVariableW(L"TEMP", L"C:\\");
    std::wstring root = expanded(L"{TEMP}");
    std::wstring child = expanded(L"{TEMP}\\x");
    SetEnvironmentVariableW(L"TMP", had_tmp ? saved_tmp : nullptr);
    SetEnvironmentVariableW(L"TEMP", had_temp ? saved_temp : nullptr);
    EXPECT_EQ(root, L"C:");
    EXPECT_EQ(child, L"C:\\x");
}

TEST(TemplateFolders, TempWithoutRoomAddsNothing) {
    // The temporary directory does not fit in 3 units; the query's failure
    // is not an error and leaves nothing behind.
    expansion e = expand(L"x{TEMP}y", 4);
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.text, L"xy");
}

TEST(TemplateFolders, HomeAndCacheDirAreTheUserFolders) {
    wchar_t profile[MAX_PATH + 1] = {}, local[MAX_PATH + 1] = {};
    if (GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH + 1) == 0 ||
        GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH + 1) == 0) {
        GTEST_SKIP() << "USERPROFILE or LOCALAPPDATA is not set";
    }
    EXPECT_EQ(_wcsicmp(expanded(L"{HOME}").c_str(), profile), 0) << harness::narrow(expanded(L"{HOME}"));
    EXPECT_EQ(_wcsicmp(expanded(L"{cache_dir}").c_str(), local), 0) << harness::narrow(expanded(L"{CACHE_DIR}"));
    EXPECT_EQ(expanded(L"{HOME}\\x"), expanded(L"{HOME}") + L"\\x");
}

TEST(TemplateFolders, UnknownShellFolderAppendsNothingAndFails) {
    const int no_such_folder = 0xFF;
    wchar_t output[16] = L"kept";
    EXPECT_FALSE(append_shell_folder(output + 4, no_such_folder, 12));
    EXPECT_STREQ(output, L"kept");
}

TEST(TemplateFolders, FolderPathWithoutRoomEndsTheProcessUnlikeTemp) {
    // {TEMP} that does not fit yields nothing; a user folder that does not
    // fit is a capacity stop.
    harness::run_result temp = expand_in_child(L"{TEMP}", 3);
    EXPECT_EQ(temp.exit_code, 0u) << temp.err;
    EXPECT_EQ(paths_test::output_lines(temp), (std::vector<std::wstring>{L"true", L""}));
    harness::run_result home = expand_in_child(L"{HOME}", 3);
    EXPECT_EQ(home.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(home.out, "");
}

/*-**** Program name ****/

TEST(TemplateProgram, DerivedFromArgumentZeroAsTyped) {
    const std::wstring all = L"{PROGRAM}|{PROGRAM_BASE}|{PROGRAM_DIR}";
    EXPECT_EQ(child_expansion(all, {}, L"C:\\apps\\tool.EXE"),
              (std::vector<std::wstring>{L"true", L"C:\\apps\\tool.EXE|C:\\apps\\tool|C:\\apps"}));
    EXPECT_EQ(child_expansion(all, {}, L"\"C:\\my apps\\tool.exe\""),
              (std::vector<std::wstring>{L"true", L"C:\\my apps\\tool.exe|C:\\my apps\\tool|C:\\my apps"}));
    EXPECT_EQ(child_expansion(all, {}, L"tool"), (std::vector<std::wstring>{L"true", L"tool|tool|tool"}));
    EXPECT_EQ(child_expansion(all, {}, L"exe"), (std::vector<std::wstring>{L"true", L"exe|exe|exe"}));
    EXPECT_EQ(child_expansion(L"[{PROGRAM_BASE}]", {}, L".Exe"), (std::vector<std::wstring>{L"true", L"[]"}));
}

TEST(TemplateProgram, SuffixAndBackslashAreLookedForInTheNameOnly) {
    EXPECT_EQ(child_expansion(L"a.e{PROGRAM_BASE}", {}, L"xe"), (std::vector<std::wstring>{L"true", L"a.exe"}));
    EXPECT_EQ(child_expansion(L"C:\\dir\\{PROGRAM_DIR}", {}, L"xe"),
              (std::vector<std::wstring>{L"true", L"C:\\dir\\xe"}));
}

TEST(TemplateProgram, NameTooLongForTheRoomEndsTheProcess) {
    harness::run_result fits = expand_in_child(L"{PROGRAM_BASE}", 7, {}, L"abcdef");
    EXPECT_EQ(fits.exit_code, 0u) << fits.err;
    EXPECT_EQ(paths_test::output_lines(fits), (std::vector<std::wstring>{L"true", L"abcdef"}));
    harness::run_result stopped = expand_in_child(L"{PROGRAM_BASE}", 6, {}, L"abcdef");
    EXPECT_EQ(stopped.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(stopped.out, "");
}

/*-**** Process ID ****/

bool in_environment_block(const std::wstring &name) {
    wchar_t *strings = GetEnvironmentStringsW();
    bool found = false;
    std::wstring prefix = name + L"=";
    for (const wchar_t *p = strings; *p != L'\0'; p += wcslen(p) + 1) {
        found = found || _wcsnicmp(p, prefix.c_str(), prefix.size()) == 0;
    }
    FreeEnvironmentStringsW(strings);
    return found;
}

TEST(TemplatePid, ParentVariableOrOwnProcessId) {
    const std::wstring own = std::to_wstring(GetCurrentProcessId());

    env_set("VELSOR_ONEFILE_PARENT", L"1234");
    EXPECT_EQ(expanded(L"{PID}"), L"1234");

    env_unset("VELSOR_ONEFILE_PARENT");
    EXPECT_EQ(expanded(L"p{PID}q"), L"p" + own + L"q");
    EXPECT_FALSE(in_environment_block(L"VELSOR_ONEFILE_PARENT")) << "the variable is only read";

    env_set("VELSOR_ONEFILE_PARENT", L"");
    EXPECT_EQ(expanded(L"{PID}"), own);
    EXPECT_TRUE(in_environment_block(L"VELSOR_ONEFILE_PARENT"));
    wchar_t value[8] = {L'#'};
    EXPECT_EQ(GetEnvironmentVariableW(L"VELSOR_ONEFILE_PARENT", value, 8), 0u);
    env_unset("VELSOR_ONEFILE_PARENT");
}

TEST(TemplatePid, ChildUsesItsOwnIdWithoutParentVariable) {
    harness::run_options options;
    options.environment = {{L"VELSOR_ONEFILE_PARENT", std::nullopt}};
    harness::run_result r = expand_in_child(L"{PID}", full_capacity, options);
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(paths_test::output_lines(r),
              (std::vector<std::wstring>{L"true", std::to_wstring(r.process_id)}));
}

TEST(TemplatePid, NonDigitParentEndsTheProcess) {
    harness::run_options options;
    options.environment = {{L"VELSOR_ONEFILE_PARENT", L"12a4"}};
    harness::run_result r = expand_in_child(L"{PID}", full_capacity, options);
    EXPECT_EQ(r.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(r.out, "");
}

/*-**** Cached values ****/

TEST(TemplateCache, ValuesAreDrawnOnceAndStored) {
    clear_caches();
    const std::wstring random = expanded(L"{RANDOM}");
    ASSERT_EQ(random.size(), 11u);
    wchar_t *stored = env_get("VELSOR_ONEFILE_RANDOM");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(random, stored);
    EXPECT_EQ(expanded(L"{random}"), random);

    const std::wstring time_us = expanded(L"{TIME_US}");
    EXPECT_TRUE(all_digits(time_us) && time_us.size() == 6) << harness::narrow(time_us);
    stored = env_get("VELSOR_ONEFILE_TIME_US");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(time_us, stored);
    Sleep(2);
    EXPECT_EQ(expanded(L"{TIME_US}"), time_us);

    const std::wstring time = expanded(L"{TIME}");
    EXPECT_TRUE(all_digits(time)) << harness::narrow(time);
    stored = env_get("VELSOR_ONEFILE_START");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(time, stored);
    Sleep(2);
    EXPECT_EQ(expanded(L"{TIME}"), time);
    clear_caches();
}

TEST(TemplateCache, ChildSeesTheParentsValues) {
    clear_caches();
    // As in a launcher's parent: the process ID is in place before expanding.
    env_set("VELSOR_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
    const std::wstring mine = expanded(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}|{TIME}");
    EXPECT_EQ(child_expansion(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}|{TIME}"),
              (std::vector<std::wstring>{L"true", mine}));

    // Without the cache variables the child draws values of its own.
    harness::run_options fresh;
    fresh.environment = {{L"VELSOR_ONEFILE_RANDOM", std::nullopt}};
    std::vector<std::wstring> drawn = child_expansion(L"{RANDOM}", fresh);
    ASSERT_EQ(drawn.size(), 2u);
    EXPECT_EQ(drawn[1].size(), 11u);
    EXPECT_NE(drawn[1], expanded(L"{RANDOM}"));
    env_unset("VELSOR_ONEFILE_PARENT");
    clear_caches();
}

TEST(TemplateCache, CachedValuesAreNotValidated) {
    env_set("VELSOR_ONEFILE_RANDOM", L"not a token");
    env_set("VELSOR_ONEFILE_TIME_US", L"12");
    env_set("VELSOR_ONEFILE_START", L"-x-");
    EXPECT_EQ(expanded(L"{RANDOM}/{TIME_US}/{TIME}"), L"not a token/12/-x-");
    clear_caches();
}

TEST(TemplateCache, TimeValuesComeFromTheClock) {
    const long long units_per_microsecond = 10, microseconds_per_second = 1000000;
    int checked = 0;
    for (int attempt = 0; attempt < 50 && checked < 10; attempt++) {
        clear_caches();
        long long before = filetime_now();
        std::vector<std::wstring> parts = split(expanded(L"{TIME_US} {TIME}"), L' ');
        long long after = filetime_now();
        ASSERT_EQ(parts.size(), 2u);
        ASSERT_EQ(parts[0].size(), 6u) << harness::narrow(parts[0]);
        ASSERT_TRUE(all_digits(parts[0]) && all_digits(parts[1]));
        long long time = std::stoll(parts[1]);
        EXPECT_GE(time, before);
        EXPECT_LE(time, after);
        long long second_before = before / units_per_microsecond / microseconds_per_second;
        long long second_after = after / units_per_microsecond / microseconds_per_second;
        if (second_before == second_after) {
            long long microseconds = std::stoll(parts[0]);
            EXPECT_GE(microseconds, before / units_per_microsecond % microseconds_per_second);
            EXPECT_LE(microseconds, after / units_per_microsecond % microseconds_per_second);
            checked++;
        }
    }
    EXPECT_EQ(checked, 10);
    clear_caches();
}

TEST(TemplateCache, SmallMicrosecondPartKeepsItsLeadingZeros) {
    // Wait for the first tenth of a second, where the microsecond part has
    // fewer than six significant digits.
    const long long units_per_microsecond = 10, microseconds_per_second = 1000000, tenth = 100000;
    DWORD deadline = GetTickCount() + 5000;
    bool checked = false;
    while (!checked && GetTickCount() < deadline) {
        long long before = filetime_now();
        if (before / units_per_microsecond % microseconds_per_second >= tenth - 10000) {
            Sleep(1);
            continue;
        }
        clear_caches();
        const std::wstring time_us = expanded(L"{TIME_US}");
        long long after = filetime_now();
        if (after / units_per_microsecond % microseconds_per_second >= tenth) {
            continue;
        }
        ASSERT_EQ(time_us.size(), 6u) << harness::narrow(time_us);
        EXPECT_EQ(time_us[0], L'0') << harness::narrow(time_us);
        EXPECT_TRUE(all_digits(time_us)) << harness::narrow(time_us);
        checked = true;
    }
    EXPECT_TRUE(checked) << "never expanded within the first tenth of a second";
    clear_caches();
}

/*-**** Running out of room ****/

TEST(TemplateCapacity, LiteralTextFailsWhereItNoLongerFits) {
    expansion exact = expand(L"abc", 4);
    EXPECT_TRUE(exact.ok);
    EXPECT_EQ(exact.text, L"abc");
    expansion over = expand(L"abcd", 4);
    EXPECT_FALSE(over.ok);
    EXPECT_EQ(over.text, L"abc");

    env_set("VELSOR_ONEFILE_RANDOM", L"XYZ");
    expansion after_value = expand(L"{RANDOM}ab", 6);
    EXPECT_TRUE(after_value.ok);
    EXPECT_EQ(after_value.text, L"XYZab");
    expansion over_after_value = expand(L"{RANDOM}abc", 6);
    EXPECT_FALSE(over_after_value.ok);
    EXPECT_EQ(over_after_value.text, L"XYZab");
    clear_caches();
}

TEST(TemplateCapacity, ValueOneCharacterTooLongEndsTheProcess) {
    harness::run_options options;
    options.environment = {{L"VELSOR_ONEFILE_RANDOM", L"XYZ"}, {L"VELSOR_ONEFILE_PARENT", L"1234"}};

    harness::run_result fits = expand_in_child(L"ab{RANDOM}", 6, options);
    EXPECT_EQ(fits.exit_code, 0u) << fits.err;
    EXPECT_EQ(paths_test::output_lines(fits), (std::vector<std::wstring>{L"true", L"abXYZ"}));
    harness::run_result stopped = expand_in_child(L"ab{RANDOM}", 5, options);
    EXPECT_EQ(stopped.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(stopped.out, "");

    harness::run_result pid_fits = expand_in_child(L"{PID}", 5, options);
    EXPECT_EQ(paths_test::output_lines(pid_fits), (std::vector<std::wstring>{L"true", L"1234"}));
    harness::run_result pid_stopped = expand_in_child(L"{PID}", 4, options);
    EXPECT_EQ(pid_stopped.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(pid_stopped.out, "");
}

}  // namespace
