// The payload reader, in-process, over blocks from the packer and the zstd CLI.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload/reader.h"
#include "tests/support/harness.h"

namespace {

std::string data_file(const char *name) {
    return harness::read_file(harness::windows_path(VELSOR_TEST_DATA_DIR) + L"\\" + harness::widen(name));
}

// Reads `total` bytes from an open reader in pieces of the given sizes,
// cycling through them.
std::string read_in_pieces(size_t total, const std::vector<size_t> &pieces) {
    std::string out(total, '\0');
    size_t done = 0;
    for (size_t i = 0; done < total; i++) {
        size_t n = std::min(pieces[i % pieces.size()], total - done);
        payload_read(&out[done], n);
        done += n;
    }
    return out;
}

std::string decode(const std::string &block, size_t total, const std::vector<size_t> &pieces) {
    payload_open_block(reinterpret_cast<const unsigned char *>(block.data()), block.size());
    std::string out = read_in_pieces(total, pieces);
    payload_close();
    return out;
}

// Runs first: nothing has opened a reader in this process yet.
TEST(PayloadReader, OpeningMarksExtractionStarted) {
    std::string block = data_file("cli.blk");
    EXPECT_FALSE(payload_extraction_started());
    payload_open_block(reinterpret_cast<const unsigned char *>(block.data()), block.size());
    EXPECT_TRUE(payload_extraction_started());
    payload_close();
}

TEST(PayloadReader, PackerAndCliBlocksDecodeToTheSameArchive) {
    std::string archive = data_file("archive.bin");
    ASSERT_GT(archive.size(), 600000u);
    for (const char *name : {"packer.blk", "cli.blk", "cli_two_frames.blk", "cli_skippable.blk", "cli_checksum.blk",
                             "window_max.blk"}) {
        SCOPED_TRACE(name);
        std::string block = data_file(name);
        ASSERT_FALSE(block.empty());
        EXPECT_TRUE(decode(block, archive.size(), {65536}) == archive);
    }
}

TEST(PayloadReader, ExactSizeReadsAcrossBufferBoundaries) {
    std::string archive = data_file("archive.bin");
    std::string block = data_file("packer.blk");
    // Name units, size fields, odd chunks and reads just around one full
    // output buffer (131072 bytes), so reads start and end everywhere.
    const std::vector<std::vector<size_t>> patterns = {
        {2, 8, 32768}, {1}, {131071, 1, 131072, 131073, 3}, {7, 131072 * 2 + 1}, {archive.size()}};
    for (const auto &pieces : patterns) {
        EXPECT_TRUE(decode(block, archive.size(), pieces) == archive) << "first piece " << pieces[0];
    }
}

TEST(PayloadReader, ZeroByteReadDeliversNothing) {
    std::string archive = data_file("archive.bin");
    std::string block = data_file("cli.blk");
    payload_open_block(reinterpret_cast<const unsigned char *>(block.data()), block.size());
    char guard = 'x';
    payload_read(&guard, 0);
    EXPECT_EQ(guard, 'x');
    std::string head(10, '\0');
    payload_read(&head[0], 4);
    payload_read(&head[4], 0);
    payload_read(&head[4], 6);
    EXPECT_EQ(head, archive.substr(0, 10));
    payload_close();
}

// The whole frame is consumed by the first decoder call, which fills the
// output buffer while the decoder still holds more: the reader must keep
// asking the decoder although no input is left.
TEST(PayloadReader, OutputHeldByTheDecoderAfterTheLastInputByte) {
    std::string archive = data_file("big_zeros.archive");
    std::string block = data_file("big_zeros_no_trailer.blk");
    ASSERT_LT(block.size(), 200u);
    EXPECT_TRUE(decode(block, archive.size(), {100000}) == archive);
}

}  // namespace
