// --entry-arg and --env: what velsor-pack accepts and refuses, what list
// shows, and the bytes of .velsor\entry in the payload.
#include <gtest/gtest.h>

#include "pack/base/base.h"
#include "pack/image/image.h"
#include "support.h"

using namespace packtest;

namespace {

const std::string unpack_dir = "{UNPACK_DIR}";

std::string times(const std::string &text, size_t n) { return n == 0 ? "" : text + times(text, n - 1); }

// make_app's files and a program, bin\tool.exe (12 units), packed as the entry.
result build(const scratch &s, const std::vector<std::string> &options, const std::string &entry = "bin/tool.exe") {
    fs::path app = make_app(s);
    copy_pe("program.exe", app / "bin" / "tool.exe");
    std::vector<std::string> args{"build", app.string(), "--entry", entry, "-o", (s / "out.exe").string(), "--level", "1"};
    args.insert(args.end(), options.begin(), options.end());
    return pack(args);
}

}  // namespace

// The line: "<4095-unit directory>\bin\tool.exe" in quotes takes 4110
// units; an argument of k {UNPACK_DIR} 4095 k + 3 (a space, quotes: the
// directory may hold a space).
TEST(EntryOptions, AcceptedAndRefusedAtPackTime) {
    const std::vector<std::pair<std::vector<std::string>, const char *>> table = {  // refused: a fragment
        {{"--entry-arg", "{{x}} } {ENV:PATH}", "--env", "A==b", "--env", "EMPTY=", "--entry-arg", ""}, nullptr},
        {{"--env", "PATH=" + unpack_dir + "\\bin;{ENV:PATH}", "--env", "{literal}=x"}, nullptr},
        {{"--env", "X"}, "NAME=VALUE needed, there is no '='"},
        {{"--env", "=X=1"}, "the NAME before the first '=' is empty"},
        {{"--entry-arg", "{NOPE}"}, "unknown placeholder {NOPE}"},
        {{"--entry-arg", "{unpack_dir}"}, "unknown placeholder {unpack_dir}"},
        {{"--entry-arg", "{RANDOM}"}, "unknown placeholder {RANDOM}"},
        {{"--env", "A={TEMP}"}, "unknown placeholder {TEMP}"},
        {{"--entry-arg", "{ENV:}"}, "{ENV:} names no variable"},
        {{"--entry-arg", "x{UNPACK_DIR"}, "a '{' without its '}'"},
        {{"--entry-arg", "{ENV:A{B}"}, "a '{' without its '}'"},
        {{"--entry-arg", times(unpack_dir, 6)}, nullptr},
        {{"--entry-arg", times(unpack_dir, 7)}, "the line takes 32778 of its 32767 units"},
        {{"--entry-arg", std::string(32767 - 4110 - 1, 'x')}, nullptr},
        {{"--entry-arg", "x", "--entry-arg", std::string(32767 - 4110 - 2, 'x')}, "the line takes 32768"},
        {{"--env", "V=" + times(unpack_dir, 8) + "1234567"}, nullptr},
        {{"--env", "V=" + times(unpack_dir, 8) + "12345678"}, "the value can take 32768 units"},
    };
    for (const auto &[options, refused] : table) {
        SCOPED_TRACE(options.back().substr(0, 60));
        scratch s;
        result r = build(s, options);
        if (refused == nullptr) {
            EXPECT_EQ(r.status, 0) << r.err;
        } else {
            expect_refused(r, s / "out.exe", "", refused);
        }
    }
}

// Only a program has a command line of its own, and only build adds the
// file: a DLL entry is refused as bad input, block and link as usage.
TEST(EntryOptions, OnlyForBuildWithAProgram) {
    scratch s;
    expect_refused(build(s, {"--env", "A=1"}, "app.dll"), s / "out.exe", "", "need a program (an .exe) as the entry");
    ASSERT_EQ(pack({"block", (s / "app").string(), "--entry", "app.dll", "-o", (s / "b.bin").string()}).status, 0);
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"block", (s / "app").string(), "--entry", "app.dll", "-o", (s / "x").string(), "--entry-arg", "a"},
             {"link", (s / "b.bin").string(), "-o", (s / "x").string(), "--env", "A=1"}}) {
        result r = pack(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("--entry-arg and --env are for build, with a program as the entry"), std::string::npos);
        EXPECT_FALSE(fs::exists(s / "x"));
    }
}

// The file goes in right after the runner and holds what the encoder writes
// (spelled out for one item of each kind); list shows the options in order.
TEST(EntryOptions, TheFileInThePayloadAndList) {
    const std::vector<std::string> options = {"--entry-arg", unpack_dir + "\\readme.txt", "--env", "NODE_OPTIONS=--x",
                                              "--entry-arg", "two \"words\"", "--env", "P={ENV:P};\xc3\xa9"};
    scratch s;
    result r = build(s, options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<velsor::entry_option> expected;
    std::vector<std::string> shown = {"runs bin\\tool.exe (started by .velsor\\runner.dll)"};
    for (size_t i = 0; i < options.size(); i += 2) {
        expected.push_back({options[i] == "--env", *velsor::utf8_to_utf16(options[i + 1])});
        shown.push_back((options[i] == "--env" ? "entry environment: " : "entry argument: ") + options[i + 1]);
    }
    ASSERT_EQ(pack({"extract", (s / "out.exe").string(), (s / "x").string()}).status, 0);
    velsor::bytes encoded = velsor::encode_entry_options(expected);
    EXPECT_EQ(read_file(s / "x" / ".velsor" / "entry"), std::string(encoded.begin(), encoded.end()));
    EXPECT_EQ(velsor::decode_entry_options(encoded), expected);
    velsor::bytes small = velsor::encode_entry_options({{false, u"x"}, {true, u"A=1"}});
    EXPECT_EQ(std::string(small.begin(), small.end()),
              std::string("v\0e\0l\0s\0o\0r\0 \0e\0n\0t\0r\0y\0 \0" "1\0\0\0a\0x\0\0\0e\0A\0=\0" "1\0\0\0", 46));

    auto out = lines(pack({"list", (s / "out.exe").string()}).out);
    ASSERT_GE(out.size(), 10u);
    EXPECT_NE(out[1].find(".velsor\\entry"), std::string::npos) << out[1];
    EXPECT_EQ(std::vector<std::string>(out.end() - 6, out.end() - 1), shown);
    EXPECT_EQ(pack({"verify", (s / "out.exe").string(), (s / "app").string()}).status, 0);  // velsor's own file
}

// A fixed argument naming a path in the unpacked directory that APPDIR
// lacks gets one warning; packing goes on.
TEST(EntryOptions, MissingFilesUnderTheUnpackedDirectoryAreNamed) {
    for (const auto &[argument, missing] : std::vector<std::pair<std::string, std::string>>{
             {unpack_dir + "\\readme.txt", ""}, {unpack_dir + "/README.TXT", ""}, {"-r=" + unpack_dir + "\\bin\\", ""},
             {unpack_dir + "\\lib/gone.js", "lib\\gone.js"}, {"-r=" + unpack_dir + "/nope", "nope"},
             {"x" + unpack_dir + "\\nope", ""}, {unpack_dir + "\\{ENV:X}", ""}, {unpack_dir, ""}}) {
        scratch s;
        result r = build(s, {"--entry-arg", argument});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, missing.empty() ? "" : "velsor-pack: warning: the fixed argument " + argument + " names " +
                                                    missing + ", which is not in APPDIR; the program will not find it\n");
    }
}
