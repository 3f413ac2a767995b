// The child's command line: quoting that Windows' own splitter undoes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "tests/support/harness.h"

harness::run_result raise_in_child(const wchar_t *which);

namespace {

const size_t line_capacity = 32768;  // the longest command line

std::wstring quote(const std::vector<std::wstring> &args) {
    std::vector<const wchar_t *> argv;
    for (const auto &a : args) {
        argv.push_back(a.c_str());
    }
    static wchar_t line[line_capacity];
    quote_command_line(line, line_capacity, (int)argv.size(), argv.data());
    return line;
}

TEST(CommandLineQuoting, KnownArguments) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"plain", L"plain"},
        {L"x\\y", L"x\\y"},
        {L"two words", L"\"two words\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"C:\\My Dir\\", L"\"C:\\My Dir\\\\\""},
        {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},
        {L"tab\there", L"\"tab\there\""},
        {L"", L"\"\""},  // an empty argument survives as ""
    };
    for (const auto &[argument, quoted] : cases) {
        EXPECT_EQ(quote({L"C:\\app.exe", argument}), L"C:\\app.exe " + quoted) << harness::narrow(argument);
    }
}

TEST(CommandLineQuoting, ArgumentZeroAloneHasNoTrailingSpace) {
    EXPECT_EQ(quote({L"C:\\apps\\tool.exe"}), L"C:\\apps\\tool.exe");
    EXPECT_EQ(quote({L"C:\\My Apps\\tool.exe"}), L"\"C:\\My Apps\\tool.exe\"");
}

// Random argument vectors survive a round trip through CommandLineToArgvW.
TEST(CommandLineQuoting, WindowsSplitsItBackIntoTheSameArguments) {
    std::mt19937 random(42);
    const std::wstring alphabet = L"ab \t\\\\\\\"\"\n\vx\u00e9\u65e5";
    for (int round = 0; round < 2000; round++) {
        std::vector<std::wstring> args = {L"C:\\Program Files\\app.exe"};
        int count = (int)(random() % 6);
        for (int i = 0; i < count; i++) {
            std::wstring a;
            int length = (int)(random() % 9);
            for (int k = 0; k < length; k++) {
                a.push_back(alphabet[random() % alphabet.size()]);
            }
            args.push_back(a);
        }
        EXPECT_EQ(harness::split_command_line(quote(args)), args);
    }
}

TEST(CommandLineQuoting, OverflowIsACapacityStop) {
    std::wstring argument(32767 - 2, L'a');  // "x" + " " + argument = 32767 units + terminator
    std::wstring fits = quote({L"x", argument});
    EXPECT_EQ(fits.size(), 32767u);
    auto result = raise_in_child(L"quote_one_too_many");
    EXPECT_TRUE(result.exit_code == 0xC0000409 || result.exit_code == 3) << result.exit_code;
    EXPECT_EQ(result.out + result.err, "");
}

}  // namespace
