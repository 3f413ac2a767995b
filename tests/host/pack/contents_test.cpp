// velsor-pack list and verify, on blocks and executables that the packer
// made from real directories.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "support.h"

using namespace packtest;

namespace {

// The minimal app with a larger and an empty file in a sub-directory.
fs::path make_app_with_lib(const scratch &s) {
    fs::path app = make_app(s);
    write_file(app / "lib" / "big.bin", sample_bytes(200000, 3));
    write_file(app / "lib" / "empty", "");
    return app;
}

result build(const fs::path &app, const fs::path &exe) {
    return pack({"build", app.string(), "--entry", "app.dll", "-o", exe.string(), "--level", "3"});
}

struct listing {
    std::vector<std::pair<std::string, std::uint64_t>> entries;  // name, size
    std::string totals;
};

// "<size>  <name>" lines, then the totals line.
listing parse_listing(const std::string &out) {
    listing l;
    auto all = lines(out);
    if (all.empty()) {
        ADD_FAILURE() << "empty listing";
        return l;
    }
    l.totals = all.back();
    all.pop_back();
    for (const auto &line : all) {
        std::istringstream in(line);
        std::uint64_t size = 0;
        std::string name;
        in >> size >> name;
        EXPECT_FALSE(name.empty()) << line;
        l.entries.emplace_back(name, size);
    }
    return l;
}

void expect_listing_matches(const listing &l, const fs::path &app, std::uint64_t compressed) {
    std::vector<std::pair<std::string, std::uint64_t>> expected{
        {"app.dll", fs::file_size(app / "app.dll")},
        {"lib\\big.bin", 200000},
        {"lib\\empty", 0},
        {"readme.txt", 6}};
    EXPECT_EQ(l.entries, expected);
    std::uint64_t bytes = 0;
    for (const auto &e : expected) {
        bytes += e.second;
    }
    std::ostringstream ratio;
    ratio.precision(2);
    ratio << std::fixed << static_cast<double>(bytes) / static_cast<double>(compressed);
    EXPECT_EQ(l.totals, "4 files, " + std::to_string(bytes) + " bytes, " + std::to_string(compressed) +
                            " compressed bytes, ratio " + ratio.str());
}

}  // namespace

TEST(List, BlockFile) {
    scratch s;
    fs::path app = make_app_with_lib(s);
    ASSERT_EQ(pack({"block", app.string(), "--entry", "app.dll", "-o", (s / "b.bin").string()}).status, 0);
    result r = pack({"list", (s / "b.bin").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    // Compressed bytes: the block without its 3-byte header and 9-byte trailer.
    expect_listing_matches(parse_listing(r.out), app, fs::file_size(s / "b.bin") - 12);
}

TEST(List, PackedExecutableFindsTheBlockThroughItsSection) {
    scratch s;
    fs::path app = make_app_with_lib(s);
    ASSERT_EQ(build(app, s / "app.exe").status, 0);
    ASSERT_EQ(pack({"block", app.string(), "--entry", "app.dll", "-o", (s / "b.bin").string(), "--level", "3"}).status,
              0);
    result r = pack({"list", (s / "app.exe").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_listing_matches(parse_listing(r.out), app, fs::file_size(s / "b.bin") - 12);

    // The section the block lives in, as the toolchain's objdump sees it.
    result headers = run({"x86_64-w64-mingw32-objdump", "-h", (s / "app.exe").string()});
    ASSERT_EQ(headers.status, 0);
    EXPECT_NE(headers.out.find(".qzv"), std::string::npos);
}

TEST(List, ExecutableWithoutPayloadSection) {
    scratch s;
    copy_pe("runner.dll", s / "plain.dll");
    result r = pack({"list", (s / "plain.dll").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no .qzv section"), std::string::npos) << r.err;
}

TEST(List, NeitherBlockNorExecutable) {
    scratch s;
    write_file(s / "QZV.txt", "QZV but nothing else of a block");
    result r = pack({"list", (s / "QZV.txt").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
}

TEST(List, DamagedFrame) {
    scratch s;
    fs::path app = make_app_with_lib(s);
    ASSERT_EQ(pack({"block", app.string(), "--entry", "app.dll", "-o", (s / "b.bin").string()}).status, 0);
    std::string block = read_file(s / "b.bin");
    // Cut the frame short but keep a well-formed trailer for the new length.
    std::string cut = block.substr(0, block.size() / 2);
    cut.push_back('\0');
    std::uint64_t field = cut.size();
    for (int i = 0; i < 8; i++) {
        cut.push_back(static_cast<char>(field >> (8 * i)));
    }
    write_file(s / "cut.bin", cut);
    result r = pack({"list", (s / "cut.bin").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
}

// One byte of a file flipped inside the frame, where the file is stored as
// it is (random bytes do not compress), so that the frame still decodes:
// only its checksum shows the damage, and list, verify and extract refuse
// it. Without the checksum, verify can only report the file as different.
TEST(Verify, AFlippedByteInAChecksummedFrameIsDamage) {
    scratch s;
    fs::path app = make_app(s);
    std::mt19937 random(4);
    std::string noise(300000, '\0');
    for (char &c : noise) {
        c = static_cast<char>(random());
    }
    write_file(app / "noise.bin", noise);
    for (bool checksum : {true, false}) {
        SCOPED_TRACE(checksum ? "with checksum" : "without checksum");
        fs::path block = s / (checksum ? "checksum.bin" : "plain.bin");
        std::vector<std::string> args{"block", app.string(), "--entry", "app.dll", "-o", block.string(), "--level", "3"};
        if (!checksum) {
            args.push_back("--no-checksum");
        }
        ASSERT_EQ(pack(args).status, 0);
        std::string bytes = read_file(block);
        size_t at = bytes.find(noise.substr(250000, 32));
        ASSERT_NE(at, std::string::npos) << "the file is not stored as it is";
        bytes[at] ^= 0x10;
        write_file(block, bytes);
        result listed = pack({"list", block.string()});
        result verified = pack({"verify", block.string(), app.string()});
        result extracted = pack({"extract", block.string(), (s / "out").string()});
        if (checksum) {
            for (const result *r : {&listed, &verified, &extracted}) {
                EXPECT_EQ(r->status, 1);
                ASSERT_EQ(lines(r->err).size(), 1u) << r->err;
                EXPECT_NE(r->err.find("damaged: its contents do not match the frame's checksum"), std::string::npos)
                    << r->err;
            }
            EXPECT_FALSE(fs::exists(s / "out"));
        } else {
            EXPECT_EQ(listed.status, 0) << listed.err;
            EXPECT_EQ(verified.status, 3) << verified.err;
            EXPECT_EQ(lines(verified.out).front(), "differs: noise.bin");
            EXPECT_EQ(extracted.status, 0) << extracted.err;
        }
        fs::remove_all(s / "out");
    }
}

TEST(Verify, IdenticalDirectory) {
    scratch s;
    fs::path app = make_app_with_lib(s);
    ASSERT_EQ(build(app, s / "app.exe").status, 0);
    result r = pack({"verify", (s / "app.exe").string(), app.string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    auto out = lines(r.out);
    ASSERT_EQ(out.size(), 1u) << r.out;
    EXPECT_NE(out[0].find("holds exactly the 4 files"), std::string::npos) << out[0];
}

TEST(Verify, CopyOfTheDirectoryElsewhere) {
    scratch s;
    fs::path app = make_app_with_lib(s);
    ASSERT_EQ(build(app, s / "app.exe").status, 0);
    fs::copy(app, s / "copy", fs::copy_options::recursive);
    EXPECT_EQ(pack({"verify", (s / "app.exe").string(), (s / "copy").string()}).status, 0);
}

TEST(Verify, ReportsEveryDifference) {
    scratch s;
    fs::path app = make_app_with_lib(s);
    ASSERT_EQ(build(app, s / "app.exe").status, 0);
    // Same size, one byte changed; a file added; a file removed; size changed.
    std::string big = read_file(app / "lib" / "big.bin");
    big[150000] ^= 1;
    write_file(app / "lib" / "big.bin", big);
    write_file(app / "new.txt", "new");
    fs::remove(app / "lib" / "empty");
    write_file(app / "readme.txt", "hello, longer\n");
    result r = pack({"verify", (s / "app.exe").string(), app.string()});
    EXPECT_EQ(r.status, 3) << r.err;
    auto out = lines(r.out);
    std::vector<std::string> expected{"differs: lib\\big.bin", "only in the payload: lib\\empty",
                                      "differs: readme.txt", "only in " + app.string() + ": new.txt"};
    ASSERT_EQ(out.size(), expected.size() + 1) << r.out;
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(out[i], expected[i]);
    }
    EXPECT_NE(out.back().find("differs from"), std::string::npos) << out.back();
    EXPECT_NE(out.back().find("4 places"), std::string::npos) << out.back();
}

TEST(Verify, BlockFileToo) {
    scratch s;
    fs::path app = make_app_with_lib(s);
    ASSERT_EQ(pack({"block", app.string(), "--entry", "app.dll", "-o", (s / "b.bin").string()}).status, 0);
    EXPECT_EQ(pack({"verify", (s / "b.bin").string(), app.string()}).status, 0);
    write_file(app / "readme.txt", "HELLO\n");
    result r = pack({"verify", (s / "b.bin").string(), app.string()});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(lines(r.out).front(), "differs: readme.txt");
}
