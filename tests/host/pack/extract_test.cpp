// velsor-pack extract: a packed tree written back out byte for byte, and
// payloads whose names could not be unpacked refused before anything is
// written.
#include <gtest/gtest.h>

#include "support.h"

using namespace packtest;

namespace {

// A block holding `names`, each with the same few bytes, made by hand
// as a block from elsewhere would be, so that names the packer's collector
// refuses get in.
fs::path block_with_names(const scratch &s, const std::vector<std::u16string> &names) {
    std::vector<record> records;
    for (const auto &name : names) {
        records.push_back(record{name, "data\n"});
    }
    return block_by_hand(records, s / "names.bin");
}

}  // namespace

TEST(Extract, ExecutableRoundTripsItsTree) {
    scratch s;
    fs::path app = make_app(s);
    write_file(app / "lib" / "deep" / "big.bin", sample_bytes(300000, 7));
    write_file(app / "lib" / "empty", "");
    write_file(app / "d\xc3\xa9j\xc3\xa0 vu.txt", "accents\n");
    ASSERT_EQ(pack({"build", app.string(), "--entry", "app.dll", "-o", (s / "app.exe").string()}).status, 0);
    fs::create_directory(s / "out");  // empty: accepted
    result r = pack({"extract", (s / "app.exe").string(), (s / "out").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out).size(), 1u) << r.out;
    // diff(1) compares the two trees, contents and names.
    result diff = run({"diff", "-r", app.string(), (s / "out").string()});
    EXPECT_EQ(diff.status, 0) << diff.out;
}

TEST(Extract, RefusesANonEmptyDirectoryAndLeavesIt) {
    scratch s;
    fs::path app = make_app(s);
    ASSERT_EQ(pack({"block", app.string(), "--entry", "app.dll", "-o", (s / "b.bin").string()}).status, 0);
    write_file(s / "out" / "keep.txt", "mine");
    result r = pack({"extract", (s / "b.bin").string(), (s / "out").string()});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("not empty"), std::string::npos) << r.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(s / "out"), fs::directory_iterator()), 1);
}

// extract refuses them; so does link, as the launcher would write them out;
// list marks them, and verify counts each as a difference.
TEST(Extract, RefusesNamesThatCannotBeUnpacked) {
    struct row {
        std::u16string bad;
        const char *reason;
    };
    for (const row &r : std::vector<row>{{u"\\etc\\passwd", "absolute"},
                                         {u"/tmp/x", "absolute"},
                                         {u"C:\\Windows\\x.dll", "drive letter"},
                                         {u"c:x", "drive letter"},
                                         {u"lib\\..\\..\\x", "'..' part"},
                                         {u"..", "'..' part"},
                                         {u"lib/../x", "'..' part"},
                                         {u"lib\\.\\x", "'.' part"},
                                         {u"lib\\\\x", "empty path part"},
                                         {u"lib\\", "empty path part"},
                                         {u"lib\\NUL.txt", "device name"},
                                         {u"lib\\a:b", "':'"},
                                         {u"x\xd800y", "lone surrogate"},
                                         {u"Same.txt", "letter case"}}) {
        SCOPED_TRACE(r.reason);
        scratch s;
        // A good file first, so that refusing means writing nothing at all.
        fs::path block = block_with_names(s, {u"good.txt", u"same.txt", r.bad});
        result out = pack({"extract", block.string(), (s / "out").string()});
        EXPECT_EQ(out.status, 1);
        EXPECT_EQ(lines(out.err).size(), 1u) << out.err;
        EXPECT_NE(out.err.find(r.reason), std::string::npos) << out.err;
        EXPECT_FALSE(fs::exists(s / "out"));

        write_file(s / "app.exe", "an earlier build");
        expect_refused(pack({"link", block.string(), "-o", (s / "app.exe").string()}), s / "app.exe",
                       "an earlier build", r.reason);
        std::string listed = lines(pack({"list", block.string()}).out).at(2);
        EXPECT_NE(listed.find("cannot be unpacked"), std::string::npos) << listed;
        EXPECT_NE(listed.find(r.reason), std::string::npos) << listed;
        write_file(s / "app" / "good.txt", "data\n");
        write_file(s / "app" / "same.txt", "data\n");
        result verified = pack({"verify", block.string(), (s / "app").string()});
        EXPECT_EQ(verified.status, 3) << verified.out;
        EXPECT_NE(verified.out.find("cannot be unpacked"), std::string::npos) << verified.out;
    }
}

TEST(Extract, DamagedPayloadWritesNothing) {
    scratch s;
    fs::path block = block_with_names(s, {u"a.txt", u"b.txt"});
    // The frame cut short, with a trailer that closes the shorter block.
    std::string cut = read_file(block).substr(0, 20);
    cut.push_back('\0');
    for (int i = 0; i < 8; i++) {
        cut.push_back(static_cast<char>(static_cast<std::uint64_t>(21) >> (8 * i)));
    }
    write_file(block, cut);
    fs::create_directory(s / "out");
    result r = pack({"extract", block.string(), (s / "out").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_TRUE(fs::is_empty(s / "out"));
}
