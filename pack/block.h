// The payload block: "QZV", one zstd frame of the archive, 0x00, and the
// 64-bit little-endian count of the bytes before the length field.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <vector>

#include "pack/archive.h"

namespace velsor {

struct block_options {
    int level = 19;
    int threads = 0;  // 0: one worker per hardware thread
};

struct block_stats {
    std::uint64_t archive_bytes = 0;  // decompressed
    std::uint64_t block_bytes = 0;
};

// Compresses the archive of `entries` into a block file at `out`. The frame
// has a 2^27 window and no content size, checksum or dictionary ID, and its
// bytes do not depend on the thread count.
block_stats write_block(const std::vector<archive_entry> &entries, const std::filesystem::path &out,
                        const block_options &options, const progress_callback &progress = nullptr);

// The same, written to `out` from its current position on (a packed
// executable being written, say); the caller checks the stream afterwards.
block_stats write_block(const std::vector<archive_entry> &entries, std::ostream &out, const block_options &options,
                        const progress_callback &progress = nullptr);

}  // namespace velsor
