// Looking into what velsor-pack made: the payload block inside a packed
// executable (or a block file), its entry records, and a comparison with an
// application directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>

namespace velsor {

// Where a payload block lies in a file.
struct block_location {
    std::uint64_t offset = 0;  // of "QZV"
    std::uint64_t length = 0;  // L
};

// A packed executable's block is found through its .qzv section; any other
// file must be a block file as a whole. A pack_error if neither holds.
block_location locate_block(const std::filesystem::path &file);

// Receives the archive's entry records as they are decoded.
struct archive_visitor {
    std::function<void(const std::u16string &name, std::uint64_t size)> begin;
    std::function<void(const unsigned char *data, size_t size)> data;  // the entry's bytes, in pieces
    std::function<void()> end;
};

struct archive_totals {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;             // file data, decompressed
    std::uint64_t compressed_bytes = 0;  // the zstd frame(s)
};

// Decodes the block and walks its records up to the terminator record; a
// pack_error if the stream is damaged or ends early.
archive_totals read_archive(const std::filesystem::path &file, const block_location &block,
                            const archive_visitor &visitor);

// `velsor-pack list`: every entry with its size, then the totals.
void list_payload(const std::filesystem::path &file, std::ostream &out);

// `velsor-pack verify`: reports each difference between the payload and
// `app_dir` on `out`; true when there is none.
bool verify_payload(const std::filesystem::path &file, const std::filesystem::path &app_dir, std::ostream &out);

}  // namespace velsor
