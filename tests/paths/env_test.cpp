// Environment helpers: reads, writes and removal through the process
// environment, the size limits of names and values.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "paths/env.h"
#include "tests/paths/child.h"

namespace {

// Whether `name` exists in the environment block at all (also with an
// empty value, which the helpers read as absent).
bool in_environment_block(const std::wstring &name) {
    wchar_t *strings = GetEnvironmentStringsW();
    bool found = false;
    std::wstring prefix = name + L"=";
    for (const wchar_t *p = strings; *p != L'\0'; p += wcslen(p) + 1) {
        if (_wcsnicmp(p, prefix.c_str(), prefix.size()) == 0) {
            found = true;
        }
    }
    FreeEnvironmentStringsW(strings);
    return found;
}

TEST(Environment, SetGetUnsetRoundTrip) {
    SetEnvironmentVariableW(L"VELSOR_PATHS_ROUND_TRIP", nullptr);
    EXPECT_EQ(env_get("VELSOR_PATHS_ROUND_TRIP"), nullptr);

    env_set("VELSOR_PATHS_ROUND_TRIP", L"C:\\Temp\\\x00e9t\x00e9 \x4e2d");
    wchar_t system_value[64] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"VELSOR_PATHS_ROUND_TRIP", system_value, 64), 0u);
    EXPECT_STREQ(system_value, L"C:\\Temp\\\x00e9t\x00e9 \x4e2d");

    wchar_t *first = env_get("VELSOR_PATHS_ROUND_TRIP");
    wchar_t *second = env_get_wide(L"VELSOR_PATHS_ROUND_TRIP");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second) << "each read is a copy of its own";
    EXPECT_STREQ(first, L"C:\\Temp\\\x00e9t\x00e9 \x4e2d");
    EXPECT_STREQ(second, first);

    env_unset("VELSOR_PATHS_ROUND_TRIP");
    EXPECT_FALSE(in_environment_block(L"VELSOR_PATHS_ROUND_TRIP"));
    EXPECT_EQ(env_get("VELSOR_PATHS_ROUND_TRIP"), nullptr);
}

TEST(Environment, EmptyValueReadsAsAbsentButStaysSet) {
    env_set("VELSOR_PATHS_EMPTY", L"");
    EXPECT_TRUE(in_environment_block(L"VELSOR_PATHS_EMPTY"));
    EXPECT_EQ(env_get("VELSOR_PATHS_EMPTY"), nullptr);
    env_unset("VELSOR_PATHS_EMPTY");
}

TEST(Environment, UnsetOfMissingVariableChangesNothing) {
    SetEnvironmentVariableW(L"VELSOR_PATHS_NEVER_SET", nullptr);
    SetEnvironmentVariableW(L"VELSOR_PATHS_NEIGHBOUR", L"kept");
    env_unset("VELSOR_PATHS_NEVER_SET");
    EXPECT_FALSE(in_environment_block(L"VELSOR_PATHS_NEVER_SET"));
    wchar_t *neighbour = env_get("VELSOR_PATHS_NEIGHBOUR");
    ASSERT_NE(neighbour, nullptr);
    EXPECT_STREQ(neighbour, L"kept");
    env_unset("VELSOR_PATHS_NEIGHBOUR");
}

void expect_read_whole(size_t length) {
    std::wstring value(length, L'v');
    value[0] = L'a';
    value.back() = L'z';
    env_set("VELSOR_PATHS_LONG", value.c_str());
    wchar_t *read = env_get("VELSOR_PATHS_LONG");
    env_unset("VELSOR_PATHS_LONG");
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(wcslen(read), length);
    EXPECT_TRUE(read == value) << "the value came back changed";
}

TEST(Environment, LongValueIsReadWhole) { expect_read_whole(32766); }

TEST(Environment, LongestValueIsReadWhole) {
    // Some Wine versions hand out at most 32,766 characters through a
    // 32,768-unit buffer although they hold the whole value.
    std::wstring value(32767, L'v');
    SetEnvironmentVariableW(L"VELSOR_PATHS_PROBE", value.c_str());
    static wchar_t probe[32768];
    DWORD delivered = GetEnvironmentVariableW(L"VELSOR_PATHS_PROBE", probe, 32768);
    SetEnvironmentVariableW(L"VELSOR_PATHS_PROBE", nullptr);
    if (delivered != 32767) {
        GTEST_SKIP() << "the system delivers " << delivered << " of 32767 characters through a full-size buffer";
    }
    expect_read_whole(32767);
}

TEST(Environment, NameOf39CharactersWorksAnd40EndsTheProcess) {
    const std::wstring name39 = L"VELSOR_PATHS_NAME_OF_39_CHARACTERS_XXXX";
    const std::wstring name40 = name39 + L"Y";
    ASSERT_EQ(name39.size(), 39u);

    // In this process: set and read back under the 39-character name.
    std::string ascii39(name39.begin(), name39.end());
    env_set(ascii39.c_str(), L"thirty-nine");
    wchar_t system_value[32] = {};
    GetEnvironmentVariableW(name39.c_str(), system_value, 32);
    EXPECT_STREQ(system_value, L"thirty-nine");
    wchar_t *read = env_get(ascii39.c_str());
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(read, L"thirty-nine");
    env_unset(ascii39.c_str());

    // In a child, which sees the variable under both names but may only
    // ask for the shorter one.
    harness::run_options options;
    options.environment = {{name39, L"short name"}, {name40, L"long name"}};
    harness::run_result ok = paths_test::run_child({L"env-get", name39}, options);
    EXPECT_EQ(ok.exit_code, 0u) << ok.err;
    EXPECT_EQ(paths_test::output_lines(ok), std::vector<std::wstring>{L"short name"});

    harness::run_result stopped = paths_test::run_child({L"env-get", name40}, options);
    EXPECT_EQ(stopped.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(stopped.out, "");

    harness::run_result stopped_set = paths_test::run_child({L"env-set", name40, L"x"}, options);
    EXPECT_EQ(stopped_set.exit_code, paths_test::abnormal_end_status());
    EXPECT_EQ(stopped_set.out, "");
}

}  // namespace
