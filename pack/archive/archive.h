// The archive: the application directory collected as an ordered list of
// entries, the entry records written and compressed into the payload block
// ("QZV", one zstd frame, 0x00 and the 64-bit length of what came before),
// and a block's records read back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace velsor {

struct archive_entry {
    std::filesystem::path source;  // file on disk
    std::u16string name;           // relative path, backslash-separated
    std::uint64_t size = 0;
    // The data itself, for an entry that velsor-pack makes (the runner);
    // `source` is then unused.
    std::optional<std::vector<unsigned char>> contents;
};

/*-**** Collecting ****/

// Every regular file below `app_dir`, in order of their UTF-16 names. Names
// Windows cannot hold and symbolic links that point outside `app_dir` are
// pack_errors; links inside it count as what they point to.
std::vector<archive_entry> collect_files(const std::filesystem::path &app_dir);

// The files below `app_dir`: `entry` (relative to app_dir) first, then every
// other regular file in order of their UTF-16 names, so the same directory
// gives the same archive whatever order the file system lists it in.
std::vector<archive_entry> collect_entries(const std::filesystem::path &app_dir, const std::string &entry);

/*-**** Writing ****/

// Receives the archive's bytes in order.
using byte_sink = std::function<void(const void *data, size_t size)>;

// Called after each file with the number of files and data bytes done.
using progress_callback = std::function<void(size_t files_done, std::uint64_t bytes_done)>;

// Writes every entry record, then the terminator record. A file whose size
// differs from the one collected is an error: the archive would lie.
void write_archive(const std::vector<archive_entry> &entries, const byte_sink &sink,
                   const progress_callback &progress = nullptr);

struct block_options {
    int level = 19;
    int threads = 0;  // 0: one worker per hardware thread
    // The frame ends with its content checksum, which every zstd decoder
    // checks, the launcher's included: a payload damaged on disk or in
    // transfer is refused instead of unpacked. Off: the frame as velsor-pack
    // wrote it before, byte for byte.
    bool checksum = true;
};

struct block_stats {
    std::uint64_t archive_bytes = 0;  // decompressed
    std::uint64_t block_bytes = 0;
};

// Compresses the archive of `entries` into a block file at `out`. The frame
// has a 2^27 window, no content size or dictionary ID, and its content
// checksum unless options.checksum is off; its bytes do not depend on the
// thread count.
block_stats write_block(const std::vector<archive_entry> &entries, const std::filesystem::path &out,
                        const block_options &options, const progress_callback &progress = nullptr);

// The same, written to `out` from its current position on (a packed
// executable being written, say); the caller checks the stream afterwards.
block_stats write_block(const std::vector<archive_entry> &entries, std::ostream &out, const block_options &options,
                        const progress_callback &progress = nullptr);

/*-**** Reading back ****/

// Where a payload block lies in a file.
struct block_location {
    std::uint64_t offset = 0;  // of "QZV"
    std::uint64_t length = 0;  // L
};

// True when "QZV" is at `offset` of `file`.
bool block_header_at(std::istream &file, std::uint64_t offset);
// True when a block starting at `offset` could end at `end`: the byte 0x00
// and the length field L - 8 close it.
bool block_trailer_closes(std::istream &file, std::uint64_t offset, std::uint64_t end);

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

}  // namespace velsor
