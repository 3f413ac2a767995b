// Collecting the application directory and writing entry records.
#include "pack/archive.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <set>

#include "pack/error.h"
#include "pack/utf16.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace velsor {

static std::u16string archive_name(const fs::path &relative) {
    std::string joined;
    for (const auto &part : relative) {
        if (!joined.empty()) {
            joined += '\\';
        }
        auto utf8 = part.u8string();
        joined.append(utf8.begin(), utf8.end());
    }
    auto name = utf8_to_utf16(joined);
    if (!name) {
        throw pack_error("file name is not valid UTF-8: " + relative.string());
    }
    if (name->size() > payload_name_max_units) {
        throw pack_error("name longer than " + std::to_string(payload_name_max_units) +
                         " UTF-16 code units: " + relative.string());
    }
    return *name;
}

static archive_entry make_entry(const fs::path &app_dir, const fs::path &file) {
    std::error_code error;
    auto size = fs::file_size(file, error);
    if (error) {
        throw pack_error("cannot read " + file.string() + ": " + error.message());
    }
    return archive_entry{file, archive_name(file.lexically_relative(app_dir)), size};
}

std::vector<archive_entry> collect_entries(const fs::path &app_dir, const std::string &entry) {
    std::error_code error;
    if (!fs::is_directory(app_dir, error)) {
        throw pack_error("application directory not found: " + app_dir.string());
    }
    fs::path entry_path = app_dir / fs::path(entry);
    if (!fs::exists(entry_path, error)) {
        throw pack_error("entry not found: " + entry_path.string());
    }
    if (!fs::is_regular_file(entry_path, error)) {
        throw pack_error("entry is not a regular file: " + entry_path.string());
    }
    fs::path entry_canonical = fs::weakly_canonical(entry_path);

    std::vector<archive_entry> rest;
    auto options = fs::directory_options::none;
    for (fs::recursive_directory_iterator it(app_dir, options, error), end; it != end; it.increment(error)) {
        if (error) {
            throw pack_error("cannot read directory " + app_dir.string() + ": " + error.message());
        }
        if (!it->is_regular_file() || fs::weakly_canonical(it->path()) == entry_canonical) {
            continue;
        }
        rest.push_back(make_entry(app_dir, it->path()));
    }
    if (error) {
        throw pack_error("cannot read directory " + app_dir.string() + ": " + error.message());
    }
    std::sort(rest.begin(), rest.end(), [](const archive_entry &a, const archive_entry &b) { return a.name < b.name; });

    std::vector<archive_entry> entries;
    entries.reserve(rest.size() + 1);
    entries.push_back(make_entry(app_dir, entry_path));
    entries.insert(entries.end(), rest.begin(), rest.end());
    return entries;
}

static void write_u16(const byte_sink &sink, const std::u16string &text) {
    std::string bytes;
    bytes.reserve(2 * (text.size() + 1));
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    bytes.append(2, '\0');
    sink(bytes.data(), bytes.size());
}

static void write_u64(const byte_sink &sink, std::uint64_t value) {
    std::array<unsigned char, payload_size_field_size> bytes{};
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    sink(bytes.data(), bytes.size());
}

static void write_file_data(const archive_entry &entry, const byte_sink &sink) {
    std::ifstream in(entry.source, std::ios::binary);
    if (!in) {
        throw pack_error("cannot read " + entry.source.string());
    }
    static constexpr size_t chunk = 1 << 20;
    std::vector<char> buffer(chunk);
    std::uint64_t left = entry.size;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, chunk));
        in.read(buffer.data(), static_cast<std::streamsize>(want));
        if (static_cast<size_t>(in.gcount()) != want) {
            throw pack_error("file changed size while being packed: " + entry.source.string());
        }
        sink(buffer.data(), want);
        left -= want;
    }
    if (in.peek() != std::char_traits<char>::eof()) {
        throw pack_error("file changed size while being packed: " + entry.source.string());
    }
}

void write_archive(const std::vector<archive_entry> &entries, const byte_sink &sink,
                   const progress_callback &progress) {
    std::uint64_t bytes_done = 0;
    size_t files_done = 0;
    for (const auto &entry : entries) {
        write_u16(sink, entry.name);
        write_u64(sink, entry.size);
        write_file_data(entry, sink);
        bytes_done += entry.size;
        if (progress) {
            progress(++files_done, bytes_done);
        }
    }
    write_u16(sink, u"");  // the terminator record: an empty name
}

}  // namespace velsor
