// lua.exe: the Lua 5.4 interpreter from Debian's source, packed with its
// modules (examples/lua). Each test runs the real executable under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace {

const std::wstring script = harness::windows_path(VELSOR_APPS_SCRIPTS "/modules.lua");

std::wstring lua_exe() { return harness::bin_path(L"lua.exe"); }

// "key=value" lines of a script's output.
std::map<std::string, std::string> report_lines(const std::string &out) {
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        std::string line = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return values;
}

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The unpacked directory a module path lies in: "<temp>\onefile_...".
std::string onefile_directory_of(const std::string &module_path, const std::string &temp) {
    size_t end = module_path.find('\\', temp.size() + 1);
    return module_path.substr(0, end);
}

std::set<std::wstring> onefile_set() {
    std::vector<std::wstring> names = harness::onefile_directories();
    return {names.begin(), names.end()};
}

}  // namespace

TEST(AppsLua, ScriptLoadsTheModulesShippedInTheExecutable) {
    std::set<std::wstring> before = onefile_set();
    harness::run_result r = harness::run(lua_exe(), {script, L"linus", L"ada", L"grace", L"=", L"17",
                                                     L"25", L"-2"});
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.exit_code, 0u) << r.out << r.err;
    std::map<std::string, std::string> values = report_lines(r.out);

    // The script's own module (which loads a sibling and Penlight) and
    // Penlight's List worked on the arguments.
    EXPECT_EQ(values["greeting"], "Hello, Linus, Ada and Grace!");
    EXPECT_EQ(values["sum"], std::to_string(17 + 25 - 2));
    EXPECT_EQ(values["sorted"], "ada,grace,linus");

    // Both came from the directory the executable unpacked itself to...
    std::string temp = harness::narrow(harness::temp_directory());
    std::string greeting = values["greeting_module"];
    std::string penlight = values["penlight_module"];
    ASSERT_TRUE(starts_with(greeting, temp + "\\onefile_")) << greeting;
    EXPECT_TRUE(ends_with(greeting, "\\lua\\greeting\\init.lua")) << greeting;
    std::string unpacked = onefile_directory_of(greeting, temp);
    EXPECT_EQ(penlight, unpacked + "\\lua\\pl\\List.lua");
    EXPECT_EQ(values["console_module"], unpacked + "\\console.dll");
    EXPECT_EQ(values["console_utf8"], "function");

    // ...which is gone once the run is over.
    EXPECT_FALSE(harness::path_exists(harness::widen(unpacked)));
    EXPECT_EQ(onefile_set(), before);
}

TEST(AppsLua, ExitCodeOfTheScriptReachesTheCaller) {
    harness::run_result r = harness::run(lua_exe(), {L"-e", L"os.exit(0x7ABCDEF1)"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0x7ABCDEF1u);

    r = harness::run(lua_exe(), {L"-e", L"error('broken on purpose')"});
    EXPECT_EQ(r.exit_code, 1u);
    EXPECT_NE(r.err.find("broken on purpose"), std::string::npos) << r.err;
}

// Arguments, the script's path and the unpacked directory outside the ANSI
// code page all reach the interpreter and its file system calls intact.
TEST(AppsLua, NamesOutsideTheAnsiCodePageWork) {
    std::wstring scripts = harness::make_scratch_directory(L"apps_lua_\u0428\u0440\u0438\u0444\u0442");
    std::wstring temp = harness::make_scratch_directory(L"apps_lua_temp_\u03a3\u03c4\u03bf");
    std::wstring copy = scripts + L"\\pr\u00fcfung_\u4e2d.lua";
    ASSERT_TRUE(harness::write_file(copy, harness::read_file(script)));

    harness::run_options options;
    options.environment = {{L"TEMP", temp}, {L"TMP", temp}};
    harness::run_result r = harness::run(lua_exe(), {copy, L"zo\u00eb", L"\u0410\u043d\u043d\u0430"},
                                         options);
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.exit_code, 0u) << r.out << r.err;
    std::map<std::string, std::string> values = report_lines(r.out);
    // capitalize touches the first byte only: "Zoë", and Cyrillic unchanged.
    EXPECT_EQ(values["greeting"], harness::narrow(L"Hello, Zo\u00eb and \u0410\u043d\u043d\u0430!"));
    std::string greeting = values["greeting_module"];
    EXPECT_TRUE(starts_with(greeting, harness::narrow(temp) + "\\onefile_")) << greeting;
    EXPECT_TRUE(ends_with(greeting, "\\lua\\greeting\\init.lua")) << greeting;
    std::string unpacked = onefile_directory_of(greeting, harness::narrow(temp));
    EXPECT_EQ(values["console_module"], unpacked + "\\console.dll");  // loaded through LoadLibraryExA
    EXPECT_FALSE(harness::path_exists(harness::widen(unpacked)));

    harness::remove_tree(scripts);
    harness::remove_tree(temp);
}

// The user's LUA_PATH still works, after the application's own modules.
TEST(AppsLua, UserSearchPathComesAfterTheApplicationModules) {
    std::wstring dir = harness::make_scratch_directory(L"apps_lua_path");
    ASSERT_TRUE(harness::write_file(dir + L"\\extra.lua", "return {name = 'extra from LUA_PATH'}\n"));
    ASSERT_TRUE(harness::write_file(dir + L"\\greeting.lua", "return {hello = function() return 'impostor' end}\n"));

    harness::run_options options;
    options.environment = {{L"LUA_PATH", dir + L"\\?.lua"}, {L"LUA_PATH_5_4", std::nullopt}};
    harness::run_result r = harness::run(
        lua_exe(),
        {L"-e", L"print('extra=' .. require('extra').name) print('greeting=' .. require('greeting').hello({'x'}))"},
        options);
    ASSERT_EQ(r.exit_code, 0u) << r.out << r.err;
    std::map<std::string, std::string> values = report_lines(r.out);
    EXPECT_EQ(values["extra"], "extra from LUA_PATH");
    EXPECT_EQ(values["greeting"], "Hello, X!");

    harness::remove_tree(dir);
}

namespace {

std::string without_carriage_returns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

}  // namespace

// lua.c, Lua's own command-line program, unchanged: its main built into the
// application DLL through velsor/app.h gets the arguments as UTF-8, and what
// it returns or passes to exit() is the exit code.
TEST(AppsAdapter, LuasUnchangedMainRunsInTheApplicationDll) {
    std::wstring dir = harness::make_scratch_directory(L"apps_lua_adapted");
    std::wstring script = dir + L"\\args.lua";
    ASSERT_TRUE(harness::write_file(script, "for i = 1, #arg do print('arg=' .. arg[i]) end\n"
                                            "io.stderr:write('to stderr\\n')\n"
                                            "os.exit(#arg + 40)\n"));
    std::vector<std::wstring> args{L"two words", L"say \"hi\"", L"zo\u00eb \u0410\u043d\u043d\u0430", L"end\\"};
    std::vector<std::wstring> command{script};
    command.insert(command.end(), args.begin(), args.end());
    harness::run_result r = harness::run(harness::bin_path(L"lua_adapted.exe"), command);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 44u) << r.err;
    std::string expected;
    for (const auto &a : args) {
        expected += "arg=" + harness::narrow(a) + "\n";
    }
    EXPECT_EQ(without_carriage_returns(r.out), expected);
    EXPECT_EQ(without_carriage_returns(r.err), "to stderr\n");

    r = harness::run(harness::bin_path(L"lua_adapted.exe"), {L"-e", L"error('broken on purpose')"});
    EXPECT_EQ(r.exit_code, 1u);
    EXPECT_NE(r.err.find("broken on purpose"), std::string::npos) << r.err;
    harness::remove_tree(dir);
}

// The other entry points: wmain's arguments as they came, WinMain's command
// line quoted again from them, the DLL's own instance handle, the default
// show command, no previous instance.
TEST(AppsAdapter, WmainWinMainAndWWinMain) {
    const std::vector<std::wstring> args{L"two words", L"say \"hi\"", L"end\\", L"a\\\\\"b"};
    const std::string line = "\"two words\" \"say \\\"hi\\\"\" end\\ \"a\\\\\\\\\\\"b\"";
    struct row {
        const wchar_t *exe;
        std::string out;
        DWORD exit_code;
    };
    for (const row &r : std::vector<row>{
             {L"adapter_wmain.exe", "[two words]\n[say \"hi\"]\n[end\\]\n[a\\\\\"b]\n", 45},
             {L"adapter_winmain.exe", "line=" + line + "\nshow=10 previous=0 module=adapter_winmain.dll\n", 50},
             {L"adapter_wwinmain.exe", "line=" + line + "\nshow=10 previous=0 module=adapter_wwinmain.dll\n", 51}}) {
        harness::run_result result = harness::run(harness::bin_path(r.exe), args);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, r.exit_code) << harness::narrow(r.exe) << result.err;
        EXPECT_EQ(without_carriage_returns(result.out), r.out) << harness::narrow(r.exe);
    }
    // The quoted line splits back into the very arguments.
    std::vector<std::wstring> split = harness::split_command_line(L"x.exe " + harness::widen(line));
    EXPECT_EQ(std::vector<std::wstring>(split.begin() + 1, split.end()), args);
}
