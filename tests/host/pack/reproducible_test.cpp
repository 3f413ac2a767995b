// The same files give the same executable, byte for byte, whatever order
// they were created in, their timestamps, permissions or the directory's
// location.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "support.h"

using namespace packtest;

namespace {

struct file_spec {
    std::string name;
    std::string bytes;
};

std::vector<file_spec> tree() {
    return {{"app.dll", read_file(fs::path(VELSOR_TEST_PE_DIR) / "runner.dll")},
            {"b.txt", "bee\n"},
            {"a.txt", "ay\n"},
            {"lib/z/last.bin", sample_bytes(50000, 11)},
            {"lib/m.bin", sample_bytes(120000, 12)},
            {"lib/A.txt", "capital\n"},
            {"zeta/empty", ""},
            {"Zeta2/x", "x"}};
}

// Creates the files in the given order, each with its own modification time.
void create(const fs::path &root, const std::vector<file_spec> &files, int time_offset_hours) {
    auto when = fs::file_time_type::clock::now() - std::chrono::hours(time_offset_hours);
    for (const auto &f : files) {
        write_file(root / f.name, f.bytes);
        fs::last_write_time(root / f.name, when);
        when -= std::chrono::minutes(7);
    }
}

}  // namespace

TEST(Reproducible, TwoCopiesMadeInDifferentOrdersGiveTheSameExecutable) {
    scratch s;
    auto files = tree();
    create(s / "first", files, 1);
    std::reverse(files.begin(), files.end());
    create(s / "second-copy" / "elsewhere", files, 300);
    fs::permissions(s / "second-copy" / "elsewhere" / "b.txt", fs::perms::owner_read);

    fs::path one = s / "one.exe", two = s / "two.exe";
    result r1 = pack({"build", (s / "first").string(), "--entry", "app.dll", "-o", one.string(), "--level", "5"});
    ASSERT_EQ(r1.status, 0) << r1.err;
    result r2 = pack({"build", (s / "second-copy" / "elsewhere").string(), "--entry", "app.dll", "-o", two.string(),
                      "--level", "5", "--threads", "1"});
    ASSERT_EQ(r2.status, 0) << r2.err;

    std::string a = read_file(one), b = read_file(two);
    ASSERT_GT(a.size(), 1000u);
    EXPECT_EQ(a.size(), b.size());
    EXPECT_TRUE(a == b) << "the two executables differ";
    // And both carry the files they were made from.
    EXPECT_EQ(pack({"verify", two.string(), (s / "first").string()}).status, 0);
}

TEST(Reproducible, TheTimestampInThePeHeaderIsZero) {
    scratch s;
    create(s / "app", tree(), 0);
    ASSERT_EQ(pack({"build", (s / "app").string(), "--entry", "app.dll", "-o", (s / "app.exe").string(), "--level", "1"})
                  .status,
              0);
    // A time stamp would make every build differ.
    result headers = run({"x86_64-w64-mingw32-objdump", "-p", (s / "app.exe").string()});
    ASSERT_EQ(headers.status, 0);
    auto at = headers.out.find("Time/Date");
    ASSERT_NE(at, std::string::npos) << headers.out;
    std::string line = headers.out.substr(at, headers.out.find('\n', at) - at);
    EXPECT_NE(line.find("Thu Jan  1 00:00:00 1970"), std::string::npos) << line;
}

TEST(Reproducible, BlocksFromTheSameFilesAreIdentical) {
    scratch s;
    auto files = tree();
    create(s / "a", files, 2);
    std::rotate(files.begin(), files.begin() + 3, files.end());
    create(s / "b", files, 5);
    ASSERT_EQ(pack({"block", (s / "a").string(), "--entry", "app.dll", "-o", (s / "a.bin").string()}).status, 0);
    ASSERT_EQ(pack({"block", (s / "b").string(), "--entry", "app.dll", "-o", (s / "b.bin").string(), "--threads", "2"})
                  .status,
              0);
    EXPECT_TRUE(read_file(s / "a.bin") == read_file(s / "b.bin"));
}

// Without the checksum the block is, byte for byte, the one velsor-pack wrote
// before the checksum was added: the SHA-256 below was taken from that
// packer, for files that depend on nothing the build makes.
TEST(Reproducible, WithoutChecksumTheBlockIsTheEarlierPackersOwn) {
    const std::vector<file_spec> files = {{"app.dll", sample_bytes(3000, 21)},
                                          {"a.txt", "ay\n"},
                                          {"lib/m.bin", sample_bytes(120000, 12)},
                                          {"lib/z/last.bin", sample_bytes(200000, 11)},
                                          {"zeta/empty", ""}};
    scratch s;
    create(s / "app", files, 0);
    fs::path block = s / "app.bin";
    result r = pack({"block", (s / "app").string(), "--entry", "app.dll", "-o", block.string(), "--no-checksum"});
    ASSERT_EQ(r.status, 0) << r.err;
    result sum = run({"sha256sum", block.string()});
    ASSERT_EQ(sum.status, 0) << sum.err;
    EXPECT_EQ(sum.out.substr(0, 64), "7f14526450dd12e9dcd1755c33f82152ebcb4df8ab387bcb34aa07f87dcb4831");
    // build --no-checksum puts the same block into the executable.
    fs::path built = s / "built.exe", linked = s / "linked.exe";
    ASSERT_EQ(pack({"build", (s / "app").string(), "--entry", "app.dll", "--no-entry-check", "--no-checksum", "-o",
                    built.string()})
                  .status,
              0);
    ASSERT_EQ(pack({"link", block.string(), "-o", linked.string()}).status, 0);
    EXPECT_TRUE(read_file(built) == read_file(linked));
}
