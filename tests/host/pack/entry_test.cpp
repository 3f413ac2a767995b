// --entry-arg and --env: what velsor-pack accepts and refuses, what list
// shows, and the bytes of .velsor\entry in the payload.
#include <gtest/gtest.h>

#include <algorithm>

#include "pack/base/base.h"
#include "pack/image/image.h"
#include "support.h"

using namespace packtest;

namespace {

const std::string unpack_dir = "{UNPACK_DIR}";

// A program as the entry, bin\tool.exe (12 units), beside make_app's files.
fs::path make_program_app(const scratch &s) {
    fs::path app = make_app(s);
    copy_pe("program.exe", app / "bin" / "tool.exe");
    return app;
}

result build(const fs::path &app, const fs::path &out, const std::vector<std::string> &options,
             const std::string &entry = "bin/tool.exe") {
    std::vector<std::string> args{"build", app.string(), "--entry", entry, "-o", out.string(), "--level", "1"};
    args.insert(args.end(), options.begin(), options.end());
    return pack(args);
}

std::string repeat(const std::string &text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; i++) {
        out += text;
    }
    return out;
}

// n fixed arguments that are each {UNPACK_DIR}: 4098 units of the line each.
std::vector<std::string> unpack_dir_arguments(size_t n) {
    std::vector<std::string> options;
    for (size_t i = 0; i < n; i++) {
        options.insert(options.end(), {"--entry-arg", unpack_dir});
    }
    return options;
}

}  // namespace

// The line: "<4095-unit directory>\bin\tool.exe" in quotes takes 4110
// units, a {UNPACK_DIR} argument 4098 (the space, quotes: it may hold one).
TEST(EntryOptions, AcceptedAndRefusedAtPackTime) {
    struct row {
        std::vector<std::string> options;
        const char *refused;  // a fragment of the error line; null: accepted
    };
    const std::vector<row> table = {
        {{"--entry-arg", "{{x}} } {ENV:PATH}", "--env", "A==b", "--env", "EMPTY=", "--entry-arg", ""}, nullptr},
        {{"--env", "PATH=" + unpack_dir + "\\bin;{ENV:PATH}", "--env", "{weird}=x"}, nullptr},
        {{"--env", "X"}, "NAME=VALUE needed, there is no '='"},
        {{"--env", "=X=1"}, "the NAME before the first '=' is empty"},
        {{"--env", "=1"}, "the NAME before the first '=' is empty"},
        {{"--entry-arg", "{NOPE}"}, "unknown placeholder {NOPE}"},
        {{"--entry-arg", "{unpack_dir}"}, "unknown placeholder {unpack_dir}"},
        {{"--entry-arg", "{RANDOM}"}, "unknown placeholder {RANDOM}"},
        {{"--env", "A={TEMP}"}, "unknown placeholder {TEMP}"},
        {{"--entry-arg", "{ENV:}"}, "{ENV:} names no variable"},
        {{"--entry-arg", "x{UNPACK_DIR"}, "a '{' without its '}'"},
        {{"--entry-arg", "{ENV:A{B}"}, "a '{' without its '}'"},
        {unpack_dir_arguments(6), nullptr},
        {unpack_dir_arguments(7), "the line takes 32796 of its 32767 units"},
        {{"--entry-arg", std::string(32767 - 4110 - 1, 'x')}, nullptr},
        {{"--entry-arg", std::string(32767 - 4110, 'x')}, "the line takes 32768"},
        {{"--env", "V=" + repeat(unpack_dir, 8) + "1234567"}, nullptr},
        {{"--env", "V=" + repeat(unpack_dir, 8) + "12345678"}, "the value can take 32768 units"},
    };
    for (const auto &r : table) {
        SCOPED_TRACE(r.options.back().substr(0, 60));
        scratch s;
        result out = build(make_program_app(s), s / "out.exe", r.options);
        if (r.refused == nullptr) {
            EXPECT_EQ(out.status, 0) << out.err;
        } else {
            expect_refused(out, s / "out.exe", "", r.refused);
        }
    }
}

// Only a program has a command line of its own, and only build adds the
// file: a DLL entry is refused like bad input, block and link as usage.
TEST(EntryOptions, OnlyForBuildWithAProgram) {
    scratch s;
    fs::path app = make_program_app(s);
    expect_refused(build(app, s / "dll.exe", {"--env", "A=1"}, "app.dll"), s / "dll.exe", "",
                   "need a program (an .exe) as the entry");
    ASSERT_EQ(pack({"block", app.string(), "--entry", "app.dll", "-o", (s / "b.bin").string()}).status, 0);
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"block", app.string(), "--entry", "bin/tool.exe", "-o", (s / "x.bin").string(), "--entry-arg", "a"},
             {"link", (s / "b.bin").string(), "-o", (s / "x.exe").string(), "--env", "A=1"}}) {
        result r = pack(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("--entry-arg and --env are for build, with a program as the entry"), std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(s / "x.bin") || fs::exists(s / "x.exe"));
    }
}

// The file goes in right after the runner, holds exactly what the packer's
// encoder writes (the form spelled out below for one item of each kind),
// and reads back as the options in their order; list shows them so.
TEST(EntryOptions, TheFileInThePayloadAndList) {
    scratch s;
    fs::path app = make_program_app(s);
    const std::vector<std::string> options = {"--entry-arg", unpack_dir + "\\readme.txt", "--env", "NODE_OPTIONS=--x",
                                              "--entry-arg", "two \"words\"", "--env", "P={ENV:P};\xc3\xa9"};
    result r = build(app, s / "out.exe", options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<velsor::entry_option> expected;
    for (size_t i = 0; i < options.size(); i += 2) {
        expected.push_back({options[i] == "--env", *velsor::utf8_to_utf16(options[i + 1])});
    }
    ASSERT_EQ(pack({"extract", (s / "out.exe").string(), (s / "x").string()}).status, 0);
    std::string file = read_file(s / "x" / ".velsor" / "entry");
    velsor::bytes encoded = velsor::encode_entry_options(expected);
    EXPECT_EQ(file, std::string(encoded.begin(), encoded.end()));
    EXPECT_EQ(velsor::decode_entry_options(encoded), expected);
    velsor::bytes small = velsor::encode_entry_options({{false, u"x"}, {true, u"A=1"}});
    EXPECT_EQ(std::string(small.begin(), small.end()),
              std::string("v\0e\0l\0s\0o\0r\0 \0e\0n\0t\0r\0y\0 \0" "1\0\0\0a\0x\0\0\0e\0A\0=\0" "1\0\0\0", 46));

    result list = pack({"list", (s / "out.exe").string()});
    ASSERT_EQ(list.status, 0) << list.err;
    auto out = lines(list.out);
    ASSERT_GE(out.size(), 10u) << list.out;
    EXPECT_NE(out[1].find(".velsor\\entry"), std::string::npos) << out[1];
    const std::vector<std::string> shown = {"runs bin\\tool.exe (started by .velsor\\runner.dll)",
                                            "entry argument: {UNPACK_DIR}\\readme.txt",
                                            "entry environment: NODE_OPTIONS=--x",
                                            "entry argument: two \"words\"", "entry environment: P={ENV:P};\xc3\xa9"};
    EXPECT_EQ(std::vector<std::string>(out.end() - 6, out.end() - 1), shown) << list.out;
    EXPECT_EQ(pack({"verify", (s / "out.exe").string(), app.string()}).status, 0);  // velsor's own file
}

TEST(EntryOptions, DecodingRefusesWhatTheEncoderNeverWrites) {
    velsor::bytes good = velsor::encode_entry_options({{false, u"x"}});
    auto damaged = [&](size_t at, int value) {
        velsor::bytes b = good;
        value < 0 ? b.resize(b.size() - static_cast<size_t>(-value)) : void(b[at] = static_cast<unsigned char>(value));
        return velsor::decode_entry_options(b).has_value();
    };
    EXPECT_TRUE(damaged(0, 'v'));
    EXPECT_FALSE(damaged(26, '2'));   // "velsor entry 2"
    EXPECT_FALSE(damaged(30, 'x'));   // an unknown tag
    EXPECT_FALSE(damaged(0, -1));     // an odd length
    EXPECT_FALSE(damaged(0, -2));     // the last item without its 0
}

// A fixed argument that names a path in the unpacked directory that APPDIR
// lacks gets one warning; packing goes on.
TEST(EntryOptions, MissingFilesUnderTheUnpackedDirectoryAreNamed) {
    const std::vector<std::pair<std::string, bool>> table = {
        {unpack_dir + "\\readme.txt", false}, {unpack_dir + "/README.TXT", false},
        {"--require=" + unpack_dir + "\\bin\\", false}, {unpack_dir + "\\lib/gone.js", true},
        {"--require=" + unpack_dir + "/nope", true}, {"x" + unpack_dir + "\\nope", false},
        {unpack_dir + "\\{ENV:X}", false}, {unpack_dir, false}};
    for (const auto &[argument, warned] : table) {
        SCOPED_TRACE(argument);
        scratch s;
        result r = build(make_program_app(s), s / "out.exe", {"--entry-arg", argument});
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> expected;
        if (warned) {
            std::string path = argument.substr(argument.find('}') + 2);
            std::replace(path.begin(), path.end(), '/', '\\');
            expected.push_back("velsor-pack: warning: the fixed argument " + argument + " names " + path +
                               ", which is not in APPDIR; the program will not find it");
        }
        EXPECT_EQ(lines(r.err), expected);
    }
}
