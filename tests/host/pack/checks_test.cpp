// Every input check of velsor-pack, on real directories through the real
// program: one error line, a non-zero exit, no output file left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "pack/checks/checks.h"
#include "support.h"

using namespace packtest;

namespace {

result pack_block(const fs::path &app, const fs::path &out, const std::string &entry = "app.dll") {
    return pack({"block", app.string(), "--entry", entry, "-o", out.string(), "--level", "1"});
}

// `build` also checks the entry DLL, before anything is written.
result pack_build(const fs::path &app, const fs::path &out, const std::string &entry) {
    return pack({"build", app.string(), "--entry", entry, "-o", out.string(), "--level", "1"});
}

// The run failed with status 1, said so in exactly one stderr line that
// holds `fragment`, and left no output file or partial file behind.
void expect_refused(const result &r, const fs::path &out, const std::string &fragment) {
    EXPECT_EQ(r.status, 1) << r.err;
    auto err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    EXPECT_NE(err[0].find("error"), std::string::npos) << err[0];
    EXPECT_NE(err[0].find(fragment), std::string::npos) << "expected '" << fragment << "' in: " << err[0];
    EXPECT_FALSE(fs::exists(out));
    for (const auto &f : fs::directory_iterator(out.parent_path())) {
        EXPECT_EQ(f.path().string().find(out.filename().string()), std::string::npos) << "left behind: " << f.path();
    }
}

void expect_name_refused(const std::string &relative, const std::string &fragment) {
    scratch s;
    fs::path app = make_app(s);
    write_file(app / relative, "x");
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", fragment);
}

}  // namespace

TEST(Checks, AGoodDirectoryPacks) {
    scratch s;
    fs::path app = make_app(s);
    result r = pack_block(app, s / "out.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::is_regular_file(s / "out.bin"));
}

TEST(Checks, ReservedDeviceNames) {
    expect_name_refused("CON", "reserved device name");
    expect_name_refused("aux.txt", "reserved device name");
    expect_name_refused("sub/Lpt3.tar.gz", "reserved device name");
    expect_name_refused("nul .log", "reserved device name");
    expect_name_refused("com1/inside.txt", "reserved device name");
}

TEST(Checks, NamesThatAreNotDevices) {
    scratch s;
    fs::path app = make_app(s);
    for (const char *name : {"console.txt", "auxiliary", "com10", "lpt", "xcon.txt", "prn_", "con-x.txt"}) {
        write_file(app / name, "fine");
    }
    result r = pack_block(app, s / "out.bin");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Checks, TrailingDotOrSpace) {
    expect_name_refused("name.", "trailing dot or space");
    expect_name_refused("name ", "trailing dot or space");
    expect_name_refused("dir./file", "trailing dot or space");
}

TEST(Checks, CharactersWindowsForbids) {
    for (char c : std::string("<>:\"|?*\\")) {
        SCOPED_TRACE(std::string("character ") + c);
        expect_name_refused(std::string("a") + c + "b", "not allowed");
    }
}

TEST(Checks, ControlCharacters) {
    expect_name_refused("tab\there", "control character");
    expect_name_refused("bell\x07", "control character");
    expect_name_refused("line\nbreak", "control character");
}

TEST(Checks, NameLongerThan1023Units) {
    // Linux holds at most 255 bytes per component: nest directories.
    std::string part(200, 'n');
    std::string fits = part + "/" + part + "/" + part + "/" + part + "/" + part + "/" + std::string(18, 'f');
    std::string too_long = fits + "g";
    ASSERT_EQ(fits.size(), 1023u);
    {
        scratch s;
        fs::path app = make_app(s);
        write_file(app / fits, "x");
        result r = pack_block(app, s / "out.bin");
        EXPECT_EQ(r.status, 0) << r.err;
    }
    expect_name_refused(too_long, "longer than 1023");
}

TEST(Checks, NamesDifferingOnlyInCase) {
    scratch s;
    fs::path app = make_app(s);
    write_file(app / "Readme.TXT", "other\n");
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", "letter case");
}

TEST(Checks, NonAsciiNamesDifferingOnlyInCase) {
    scratch s;
    fs::path app = make_app(s);
    write_file(app / "\xC3\xA9t\xC3\xA9.txt", "1");  // été
    write_file(app / "\xC3\x89T\xC3\x89.txt", "2");  // ÉTÉ
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", "letter case");
}

TEST(Checks, FileAndDirectoryDifferingOnlyInCase) {
    scratch s;
    fs::path app = make_app(s);
    write_file(app / "lib", "a file");
    write_file(app / "LIB" / "x.txt", "in a directory");
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", "same name on Windows");
}

TEST(Checks, LinkPointingOutside) {
    scratch s;
    fs::path app = make_app(s);
    write_file(s / "outside.txt", "secret");
    fs::create_symlink(s / "outside.txt", app / "link.txt");
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", "outside");
}

TEST(Checks, RelativeLinkClimbingOutside) {
    scratch s;
    fs::path app = make_app(s);
    fs::create_directories(s / "elsewhere");
    write_file(s / "elsewhere" / "f", "x");
    fs::create_directory_symlink("../elsewhere", app / "dir");
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", "outside");
}

TEST(Checks, DanglingLink) {
    scratch s;
    fs::path app = make_app(s);
    fs::create_symlink("missing.txt", app / "link.txt");
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", "points to nothing");
}

TEST(Checks, LinkLoop) {
    scratch s;
    fs::path app = make_app(s);
    fs::create_directories(app / "sub");
    fs::create_directory_symlink("..", app / "sub" / "up");
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", "loop");
}

TEST(Checks, LinksInsideArePackedAsCopies) {
    scratch s;
    fs::path app = make_app(s);
    write_file(app / "data" / "table.txt", "rows\n");
    fs::create_symlink("../readme.txt", app / "data" / "readme-link.txt");
    fs::create_directory_symlink("data", app / "data-link");
    ASSERT_EQ(pack_block(app, s / "out.bin").status, 0);
    auto records = parse_archive(decode_block_with_zstd_cli(s / "out.bin", s.path()));
    std::map<std::string, std::string> by_name;
    for (const auto &r : records) {
        by_name[std::string(r.name.begin(), r.name.end())] = r.data;
    }
    EXPECT_EQ(by_name["data\\readme-link.txt"], "hello\n");
    EXPECT_EQ(by_name["data-link\\table.txt"], "rows\n");
    EXPECT_EQ(by_name["data-link\\readme-link.txt"], "hello\n");
    EXPECT_EQ(records.size(), 6u);
}

TEST(Checks, EntryThatIsNotPe) {
    scratch s;
    fs::path app = make_app(s);
    expect_refused(pack_build(app, s / "out.exe", "readme.txt"), s / "out.exe", "not a Windows DLL");
}

// An executable is packed as an existing program: velsor's runner goes in
// first and starts it (a DLL entry without run_code is still refused below).
// So it does with the entry check off: the launcher cannot load a program
// as its application DLL.
TEST(Checks, EntryThatIsAnExecutable) {
    for (bool entry_check : {true, false}) {
        SCOPED_TRACE(entry_check ? "entry checked" : "--no-entry-check");
        scratch s;
        fs::path app = make_app(s);
        copy_pe("program.exe", app / "program.exe");
        std::vector<std::string> args{"build", app.string(), "--entry", "program.exe", "-o", (s / "out.exe").string()};
        if (!entry_check) {
            args.push_back("--no-entry-check");
        }
        result r = pack(args);
        ASSERT_EQ(r.status, 0) << r.err;
        result list = pack({"list", (s / "out.exe").string()});
        auto out = lines(list.out);
        ASSERT_GE(out.size(), 3u) << list.out;
        EXPECT_NE(out[0].find(".velsor\\runner.dll"), std::string::npos) << out[0];
        EXPECT_NE(out[1].find("program.exe"), std::string::npos) << out[1];
        EXPECT_NE(list.out.find("runs program.exe"), std::string::npos) << list.out;
        // The runner is velsor's own: the payload still holds exactly APPDIR.
        EXPECT_EQ(pack({"verify", (s / "out.exe").string(), app.string()}).status, 0);
    }
}

// A copy of program.exe with one header field changed, for the refusals.
static void write_patched_program(const fs::path &to, size_t field, const std::string &value) {
    copy_pe("program.exe", to);
    std::string exe = read_file(to);
    size_t pe = static_cast<unsigned char>(exe[0x3C]) | (static_cast<unsigned char>(exe[0x3D]) << 8);
    exe.replace(pe + field, value.size(), value);
    write_file(to, exe);
}

TEST(Checks, ProgramEntriesRefused) {
    const struct {
        const char *what;
        size_t field;       // offset from "PE\0\0"; 0: program.exe as it is
        const char *value;  // little-endian bytes written there
        const char *extra;  // a file that makes APPDIR clash with velsor's folder
        const char *fragment;
    } cases[] = {
        {"32-bit", 4, "\x4C\x01", nullptr, "64-bit"},
        {"native subsystem", 24 + 68, "\x01\x00", nullptr, "not a console or GUI program"},
        {"velsor folder", 0, "", ".velsor/cache.bin", "reserved for velsor"},
        {"velsor folder in other case", 0, "", ".Velsor/x.txt", "reserved for velsor"},
        {"velsor file", 0, "", ".VELSOR", "reserved for velsor"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scratch s;
        fs::path app = make_app(s);
        write_patched_program(app / "tool.exe", c.field, std::string(c.value, c.field ? 2 : 0));
        if (c.extra != nullptr) {
            write_file(app / c.extra, "x");
        }
        expect_refused(pack_build(app, s / "out.exe", "tool.exe"), s / "out.exe", c.fragment);
    }
}

TEST(Checks, EntryWithoutRunCode) {
    scratch s;
    fs::path app = make_app(s);
    copy_pe("other_export.dll", app / "other.dll");
    expect_refused(pack_build(app, s / "out.exe", "other.dll"), s / "out.exe", "does not export run_code");
}

TEST(Checks, EntryThatIs32Bit) {
    scratch s;
    fs::path app = make_app(s);
    // The toolchain here builds 64-bit code only: mark a copy of the DLL as
    // an i386 PE32 image in its COFF and optional headers.
    std::string dll = read_file(app / "app.dll");
    size_t pe = static_cast<unsigned char>(dll[0x3C]) | (static_cast<unsigned char>(dll[0x3D]) << 8);
    ASSERT_EQ(dll.substr(pe, 4), std::string("PE\0\0", 4));
    dll[pe + 4] = '\x4C';
    dll[pe + 5] = '\x01';
    dll[pe + 24] = '\x0B';
    dll[pe + 25] = '\x01';
    write_file(app / "x86.dll", dll);
    expect_refused(pack_build(app, s / "out.exe", "x86.dll"), s / "out.exe", "64-bit");
}

TEST(Checks, TruncatedPe) {
    scratch s;
    fs::path app = make_app(s);
    write_file(app / "cut.dll", read_file(app / "app.dll").substr(0, 300));
    expect_refused(pack_build(app, s / "out.exe", "cut.dll"), s / "out.exe", "not a valid PE file");
}

TEST(Checks, EntryCheckCanBeSkippedForTestPayloads) {
    scratch s;
    fs::path app = make_app(s);
    result r = pack({"build", app.string(), "--entry", "readme.txt", "-o", (s / "out.exe").string(), "--level", "1",
                     "--no-entry-check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(s / "out.exe"));
}

TEST(Checks, BlockTakesAnyEntry) {
    scratch s;
    fs::path app = make_app(s);
    result r = pack_block(app, s / "out.bin", "readme.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    auto records = parse_archive(decode_block_with_zstd_cli(s / "out.bin", s.path()));
    ASSERT_FALSE(records.empty());
    EXPECT_TRUE(records[0].name == u"readme.txt");
}

TEST(Checks, BuildAcceptsARealApplicationDll) {
    scratch s;
    fs::path app = make_app(s);
    result r = pack_build(app, s / "out.exe", "app.dll");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(s / "out.exe"));
}

TEST(Checks, MissingDirectoryAndEntry) {
    scratch s;
    expect_refused(pack_block(s / "nowhere", s / "out.bin"), s / "out.bin", "application directory not found");
    fs::path app = make_app(s);
    expect_refused(pack_block(app, s / "out.bin", "absent.dll"), s / "out.bin", "entry not found");
    fs::create_directories(app / "adir");
    expect_refused(pack_block(app, s / "out.bin", "adir"), s / "out.bin", "not a regular file");
    expect_refused(pack_block(app, s / "out.bin", "../app/app.dll"), s / "out.bin", "inside the application");
}

TEST(Checks, EntryWithBackslashSeparator) {
    scratch s;
    fs::path app = s / "app";
    copy_pe("runner.dll", app / "bin" / "app.dll");
    ASSERT_EQ(pack_block(app, s / "out.bin", "bin\\app.dll").status, 0);
    auto records = parse_archive(decode_block_with_zstd_cli(s / "out.bin", s.path()));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].name == u"bin\\app.dll");
}

TEST(Checks, UnreadableFile) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    scratch s;
    fs::path app = make_app(s);
    fs::permissions(app / "readme.txt", fs::perms::none);
    expect_refused(pack_block(app, s / "out.bin"), s / "out.bin", "readme.txt");
    fs::permissions(app / "readme.txt", fs::perms::owner_all);
}

TEST(Checks, ExistingOutputSurvivesAFailedPack) {
    scratch s;
    fs::path app = make_app(s);
    write_file(s / "out.bin", "previous");
    write_file(app / "aux", "x");
    result r = pack_block(app, s / "out.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(s / "out.bin"), "previous");
}

TEST(Checks, FileGrowingWhilePacking) {
    scratch s;
    fs::path app = make_app(s);
    // A large file packed before the growing one keeps the packer busy while
    // another thread appends to "z-log.txt" between collection and reading.
    write_file(app / "a-large.bin", sample_bytes(6 << 20, 7));
    write_file(app / "z-log.txt", "start\n");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::ofstream log(app / "z-log.txt", std::ios::app);
        while (!stop) {
            log << "line\n" << std::flush;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    result r = pack({"block", app.string(), "--entry", "app.dll", "-o", (s / "out.bin").string(), "--level", "19",
                     "--threads", "1"});
    stop = true;
    writer.join();
    expect_refused(r, s / "out.bin", "changed size while being packed");
}

TEST(Checks, LongPathWarning) {
    scratch s;
    fs::path app = make_app(s);
    std::string deep = std::string(100, 'd') + "/" + std::string(100, 'e') + ".txt";
    write_file(app / deep, "deep");
    result r = pack_block(app, s / "out.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    auto err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    EXPECT_NE(err[0].find("warning"), std::string::npos) << err[0];
    EXPECT_NE(err[0].find(std::string(100, 'e') + ".txt"), std::string::npos) << err[0];
    EXPECT_NE(err[0].find("260"), std::string::npos) << err[0];
    EXPECT_TRUE(fs::is_regular_file(s / "out.bin"));
}

TEST(Checks, LongPathWarningStartsPastTheClassicLimit) {
    // The longest name that keeps the unpacked path within 259 characters.
    size_t room = velsor::classic_path_limit - velsor::typical_target_directory.size() - 1;
    for (size_t extra : {0, 1}) {
        scratch s;
        fs::path app = make_app(s);
        write_file(app / std::string(room + extra, 'n'), "x");
        result r = pack_block(app, s / "out.bin");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("warning") != std::string::npos, extra == 1) << r.err;
    }
}

TEST(Checks, NoWarningForOrdinaryPaths) {
    scratch s;
    fs::path app = make_app(s);
    write_file(app / (std::string(60, 'd') + "/" + std::string(60, 'e') + ".txt"), "deep");
    result r = pack_block(app, s / "out.bin");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// --unpack-dir and --cache: every refused template gives one line, status 1
// and no output, for build and link alike.
TEST(Checks, UnpackTemplatesRefused) {
    struct refusal {
        std::vector<std::string> options;
        const char *fragment;
    };
    const std::string long_base = "C:\\" + std::string(1020, 'x');
    const std::vector<refusal> table = {
        {{"--unpack-dir", "{TEMP}\\run_{RANDOM}_{NOPE}"}, "unknown placeholder {NOPE}"},
        {{"--unpack-dir", "{TEMP}\\run_{RANDOM}}"}, "'}' outside a placeholder"},
        {{"--unpack-dir", "{TEMP}\\run_{RANDOM"}, "'{' without its '}'"},
        {{"--unpack-dir", "relative\\{RANDOM}"}, "must start at a drive"},
        {{"--unpack-dir", "\\rooted\\{RANDOM}"}, "must start at a drive"},
        {{"--unpack-dir", "\\\\server\\\\{RANDOM}"}, "must start at a drive"},
        {{"--unpack-dir", "{PROGRAM}\\{RANDOM}"}, "must start at a drive"},
        {{"--unpack-dir", "{TEMP}x\\{RANDOM}"}, "must start at a drive"},
        {{"--unpack-dir", "{TEMP}\\run_{PID}"}, "needs {RANDOM}"},
        {{"--unpack-dir", "{CACHE_DIR}/app_{RANDOM}", "--cache"}, "must not use {PID}, {RANDOM}"},
        {{"--unpack-dir", "{TEMP}\\app_{pid}", "--cache"}, "must not use {PID}, {RANDOM}"},
        {{"--unpack-dir", long_base + "{RANDOM}"}, "longer than the 1023"},
        {{"--unpack-dir", long_base, "--cache"}, "longer than the 1006"},
        {{"--unpack-dir", "{TEMP}/onefile_{TIME_US}_{RANDOM}"}, "needs {PID} right after it"},
        {{"--unpack-dir", "{TEMP}\\OneFile_{RANDOM}\\"}, "needs {PID} right after it"},
        {{"--unpack-dir", "{TEMP}\\onefile_{PID}{RANDOM}"}, "needs {PID} right after it"},
        {{"--unpack-dir", "{TEMP}\\onefile_4_{PID}_{RANDOM}"}, "needs {PID} right after it"},
        {{"--unpack-dir", "{CACHE_DIR}/onefile_app", "--cache"}, "must not start with onefile_"},
    };
    scratch s;
    fs::path app = make_app(s);
    ASSERT_EQ(pack_block(app, s / "app.blk").status, 0);
    for (const auto &row : table) {
        SCOPED_TRACE(row.options[1]);
        std::vector<std::string> build = {"build", app.string(), "--entry", "app.dll", "-o", (s / "b.exe").string()};
        std::vector<std::string> link = {"link", (s / "app.blk").string(), "-o", (s / "l.exe").string()};
        build.insert(build.end(), row.options.begin(), row.options.end());
        link.insert(link.end(), row.options.begin(), row.options.end());
        expect_refused(pack(build), s / "b.exe", row.fragment);
        expect_refused(pack(link), s / "l.exe", row.fragment);
    }
}

// A last part that starts with onefile_ is fine with the launcher's own
// process ID first; onefile_ elsewhere in the path is no run's directory.
TEST(Checks, UnpackTemplatesAccepted) {
    scratch s;
    fs::path app = make_app(s);
    for (const char *text : {"{TEMP}/onefile_{PID}_{RANDOM}", "{TEMP}\\ONEFILE_{pid}_x_{RANDOM}",
                             "{TEMP}/onefile_{TIME}/run_{RANDOM}", "{TEMP}/my_onefile_{TIME}_{RANDOM}"}) {
        SCOPED_TRACE(text);
        result r = pack({"build", app.string(), "--entry", "app.dll", "-o", (s / "a.exe").string(), "--level", "1",
                         "--unpack-dir", text});
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST(Checks, CacheRefusesTheReservedDirectory) {
    for (const char *name : {".velsor/runner.dll", ".Velsor/x", ".VELSOR"}) {
        scratch s;
        fs::path app = make_app(s);
        write_file(app / name, "x");
        result r = pack({"build", app.string(), "--entry", "app.dll", "-o", (s / "c.exe").string(), "--cache"});
        expect_refused(r, s / "c.exe", "reserved for velsor");
        write_file(app / "more", "x");  // without --cache the name is an ordinary one
        EXPECT_EQ(pack_build(app, s / "d.exe", "app.dll").status, 0);
    }
}
