// velsor-pack's command line: help, version, exit codes, progress.
#include <gtest/gtest.h>

#include "support.h"

using namespace packtest;

TEST(Cli, HelpDocumentsCommandsExitCodesAndLinks) {
    result r = pack({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char *text : {"build", "block", "link", "list FILE", "verify FILE APPDIR", "extract FILE DIR", "exit status",
                             "0 done", "1 bad input", "2 usage error", "3 verify found differences",
                             "Symbolic links", "outside APPDIR", "--entry-arg TEXT", "--env NAME=VALUE"}) {
        EXPECT_NE(r.out.find(text), std::string::npos) << "help lacks: " << text;
    }
}

TEST(Cli, Version) {
    result r = pack({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("velsor-pack ") + VELSOR_EXPECTED_VERSION + "\n");
}

TEST(Cli, UsageErrorsExitWithTwo) {
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"build", "dir"}, {"list"}, {"verify", "one"}, {"block", "d", "--level", "99"},
             {"build", "--bogus"}, {"build", "d", "--entry", "x", "-o", "o.exe", "--console", "--gui"},
             {"block", "d", "--entry", "x", "-o", "o.bin", "--gui"}, {"link", "b.bin", "-o", "o.exe", "--no-checksum"}}) {
        result r = pack(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
    }
}

TEST(Cli, QuietWhenNotATerminal) {
    scratch s;
    copy_pe("runner.dll", s / "app" / "app.dll");
    write_file(s / "app" / "data.bin", sample_bytes(100000, 5));
    result r = pack({"block", (s / "app").string(), "--entry", "app.dll", "-o", (s / "out.bin").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(Cli, ProgressOnATerminal) {
    scratch s;
    copy_pe("runner.dll", s / "app" / "app.dll");
    write_file(s / "app" / "data.bin", sample_bytes(100000, 5));
    write_file(s / "app" / "more.bin", sample_bytes(100000, 6));
    // script(1) gives the packer a pseudo-terminal and records what it drew.
    std::string command = std::string(VELSOR_PACK_EXE) + " block '" + (s / "app").string() +
                          "' --entry app.dll -o '" + (s / "out.bin").string() + "'";
    result r = run({"script", "-q", "-e", "-c", command, (s / "typescript").string()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string drawn = read_file(s / "typescript");
    EXPECT_NE(drawn.find("packing: 3/3 files"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("MiB/s"), std::string::npos) << drawn;
    EXPECT_TRUE(fs::is_regular_file(s / "out.bin"));
}
