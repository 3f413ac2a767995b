// The archive writer and the block writer, called as a library, with the
// result decoded by the zstd program and parsed independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "pack/archive/archive.h"
#include "pack/base/base.h"
#include "support.h"

using namespace packtest;

namespace {

// An application directory with an entry, nested files, an empty file and
// binary data holding zero bytes.
void make_app(const fs::path &app) {
    copy_pe("runner.dll", app / "app.dll");
    write_file(app / "b.txt", "second\n");
    write_file(app / "lib" / "deep" / "c.bin", std::string("\0\1\2\0zero", 8));
    write_file(app / "a-empty", "");
    write_file(app / "lib" / "data.bin", sample_bytes(300000, 1));
}

std::u16string u(const char *ascii) { return std::u16string(ascii, ascii + std::char_traits<char>::length(ascii)); }

velsor::block_stats write(const fs::path &app, const fs::path &out, int threads = 0, int level = 3,
                          bool checksum = true) {
    auto entries = velsor::collect_entries(app, "app.dll");
    velsor::block_options options;
    options.level = level;
    options.threads = threads;
    options.checksum = checksum;
    return velsor::write_block(entries, out, options);
}

// The zstd frame between the header and the trailer.
std::string frame_of(const std::string &block) { return block.substr(3, block.size() - 12); }

}  // namespace

TEST(Block, HeaderFrameDescriptorAndTrailer) {
    const struct {
        bool checksum;
        unsigned char descriptor;  // Frame_Header_Descriptor: only Content_Checksum_Flag (bit 2) may be set
    } rows[] = {{true, 0x04}, {false, 0x00}};
    scratch s;
    make_app(s / "app");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.checksum ? "with checksum" : "without checksum");
        fs::path out = s / (row.checksum ? "checksum.bin" : "plain.bin");
        auto stats = write(s / "app", out, 0, 3, row.checksum);
        std::string block = read_file(out);
        ASSERT_GT(block.size(), 20u);
        EXPECT_EQ(stats.block_bytes, block.size());
        EXPECT_EQ(block.substr(0, 3), "QZV");
        EXPECT_EQ(block.substr(3, 4), std::string("\x28\xB5\x2F\xFD", 4)) << "a zstd frame follows the header";
        EXPECT_EQ(static_cast<unsigned char>(block[7]), row.descriptor) << "Frame_Header_Descriptor";
        EXPECT_EQ(static_cast<unsigned char>(block[8]), 0x88) << "Window_Descriptor: 2^27";
        EXPECT_EQ(block[block.size() - 9], '\0');
        EXPECT_EQ(u64_le(block, block.size() - 8), block.size() - 8);
        // The zstd program tests the frame, and its checksum when it has one.
        write_file(s / "frame.zst", frame_of(block));
        result tested = run({"zstd", "-t", "-q", (s / "frame.zst").string()});
        EXPECT_EQ(tested.status, 0) << tested.err;
        result described = run({"zstd", "-l", "-v", (s / "frame.zst").string()});
        EXPECT_NE(described.out.find(row.checksum ? "Check: XXH64" : "Check: None"), std::string::npos)
            << described.out;
    }
    // The checksum changes nothing but the flag and the four bytes at the end.
    std::string with = frame_of(read_file(s / "checksum.bin")), without = frame_of(read_file(s / "plain.bin"));
    ASSERT_EQ(with.size(), without.size() + 4);
    with[4] = '\0';
    EXPECT_TRUE(with.substr(0, without.size()) == without);
}

TEST(Block, ZstdProgramDecodesTheRecordsInOrder) {
    scratch s;
    make_app(s / "app");
    write(s / "app", s / "out.bin");
    auto records = parse_archive(decode_block_with_zstd_cli(s / "out.bin", s.path()));
    // The entry first, then the others by name; backslash separators.
    std::vector<std::u16string> expected{u("app.dll"), u("a-empty"), u("b.txt"), u("lib\\data.bin"),
                                         u("lib\\deep\\c.bin")};
    ASSERT_EQ(records.size(), expected.size());
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_TRUE(records[i].name == expected[i]) << "record " << i;
        std::string relative(expected[i].begin(), expected[i].end());
        std::replace(relative.begin(), relative.end(), '\\', '/');
        EXPECT_EQ(records[i].data, read_file(s / "app" / relative)) << relative;
    }
}

TEST(Block, OutputDoesNotDependOnThreadCount) {
    scratch s;
    make_app(s / "app");
    write(s / "app", s / "one.bin", 1);
    write(s / "app", s / "two.bin", 2);
    EXPECT_EQ(read_file(s / "one.bin"), read_file(s / "two.bin"));
}

TEST(Block, ArchiveNamesAreUtf16LittleEndian) {
    scratch s;
    copy_pe("runner.dll", s / "app" / "app.dll");
    // e-acute (one unit) and a grinning face (a surrogate pair).
    write_file(s / "app" / "caf\xC3\xA9" / "\xF0\x9F\x98\x80.txt", "smile");
    std::string archive;
    velsor::write_archive(velsor::collect_entries(s / "app", "app.dll"),
                          [&](const void *p, size_t n) { archive.append(static_cast<const char *>(p), n); });
    auto records = parse_archive(archive);
    ASSERT_EQ(records.size(), 2u);
    std::u16string expected{u'c', u'a', u'f', 0xE9, u'\\', 0xD83D, 0xDE00, u'.', u't', u'x', u't'};
    EXPECT_TRUE(records[1].name == expected);
    EXPECT_EQ(records[1].data, "smile");
    // The name's bytes as they stand in the archive, low byte first.
    size_t at = archive.find(std::string("c\0a\0f\0\xE9\0\\\0\x3D\xD8\x00\xDE", 14));
    EXPECT_NE(at, std::string::npos);
}

TEST(Block, FileThatGrowsAfterCollectionIsAnError) {
    scratch s;
    make_app(s / "app");
    auto entries = velsor::collect_entries(s / "app", "app.dll");
    std::ofstream(s / "app" / "b.txt", std::ios::app) << "more";
    velsor::block_options options;
    options.level = 1;
    try {
        velsor::write_block(entries, s / "out.bin", options);
        FAIL() << "no error for a file that changed size";
    } catch (const velsor::pack_error &e) {
        EXPECT_NE(std::string(e.what()).find("changed size"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("b.txt"), std::string::npos) << e.what();
    }
}

TEST(Block, FileThatShrinksAfterCollectionIsAnError) {
    scratch s;
    make_app(s / "app");
    auto entries = velsor::collect_entries(s / "app", "app.dll");
    write_file(s / "app" / "lib" / "data.bin", "short");
    velsor::block_options options;
    options.level = 1;
    EXPECT_THROW(velsor::write_block(entries, s / "out.bin", options), velsor::pack_error);
}
