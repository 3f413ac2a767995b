// The application directory as an ordered list of archive entries, and the
// writer of entry records.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
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

// Every regular file below `app_dir`, in order of their UTF-16 names. Names
// Windows cannot hold and symbolic links that point outside `app_dir` are
// pack_errors; links inside it count as what they point to.
std::vector<archive_entry> collect_files(const std::filesystem::path &app_dir);

// The files below `app_dir`: `entry` (relative to app_dir) first, then every
// other regular file in order of their UTF-16 names, so the same directory
// gives the same archive whatever order the file system lists it in.
std::vector<archive_entry> collect_entries(const std::filesystem::path &app_dir, const std::string &entry);

// Receives the archive's bytes in order.
using byte_sink = std::function<void(const void *data, size_t size)>;

// Called after each file with the number of files and data bytes done.
using progress_callback = std::function<void(size_t files_done, std::uint64_t bytes_done)>;

// Writes every entry record, then the terminator record. A file whose size
// differs from the one collected is an error: the archive would lie.
void write_archive(const std::vector<archive_entry> &entries, const byte_sink &sink,
                   const progress_callback &progress = nullptr);

}  // namespace velsor
