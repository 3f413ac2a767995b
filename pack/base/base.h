// What every part of the packer shares: its one kind of failure, byte
// buffers with little-endian integers in them, whole files read into memory,
// and text as UTF-8 and UTF-16.
//
// The packer keeps every name as UTF-8 in std::string, on Windows too:
// paths are made from UTF-8 and shown as UTF-8, never through the narrow
// code page that std::filesystem::path::string() would use there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velsor {

// The packer's one kind of failure: a message for the user, one line.
struct pack_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/*-**** Bytes ****/

using bytes = std::vector<unsigned char>;

// Every access is bounds-checked: a read or write past the end throws
// std::out_of_range, a safety net behind the parsers' own checks.
inline void check_range(const bytes &b, size_t at, size_t width) {
    if (at > b.size() || width > b.size() - at) {
        throw std::out_of_range("access past the end of a buffer");
    }
}

inline std::uint64_t load_le(const bytes &b, size_t at, size_t width) {
    check_range(b, at, width);
    std::uint64_t value = 0;
    for (size_t i = width; i-- > 0;) {
        value = (value << 8) | b[at + i];
    }
    return value;
}

inline std::uint16_t load_u16(const bytes &b, size_t at) { return static_cast<std::uint16_t>(load_le(b, at, 2)); }
inline std::uint32_t load_u32(const bytes &b, size_t at) { return static_cast<std::uint32_t>(load_le(b, at, 4)); }
inline std::uint64_t load_u64(const bytes &b, size_t at) { return load_le(b, at, 8); }

inline void store_le(bytes &b, size_t at, std::uint64_t value, size_t width) {
    check_range(b, at, width);
    for (size_t i = 0; i < width; i++) {
        b[at + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline void store_u16(bytes &b, size_t at, std::uint16_t v) { store_le(b, at, v, 2); }
inline void store_u32(bytes &b, size_t at, std::uint32_t v) { store_le(b, at, v, 4); }
inline void store_u64(bytes &b, size_t at, std::uint64_t v) { store_le(b, at, v, 8); }

// Appends `value` as `width` little-endian bytes.
inline void append_le(bytes &b, std::uint64_t value, size_t width) {
    for (size_t i = 0; i < width; i++) {
        b.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// Appends zeros up to a multiple of `alignment`.
inline void pad_to(bytes &b, size_t alignment) {
    while (b.size() % alignment != 0) {
        b.push_back(0);
    }
}

inline std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

/*-**** Files ****/

// A whole file read into memory, unless it holds more than `limit` bytes.
struct whole_file {
    bool readable = false;  // false: it could not be opened or read
    std::error_code error;  // why, when the file system said
    std::uint64_t size = 0;
    bytes data;             // empty when it is larger than the limit
};

inline whole_file read_whole_file(const std::filesystem::path &path, std::uint64_t limit) {
    whole_file f;
    f.size = std::filesystem::file_size(path, f.error);
    std::ifstream in(path, std::ios::binary);
    if (f.error || !in) {
        return f;
    }
    f.readable = true;
    if (f.size <= limit) {
        f.data.resize(static_cast<size_t>(f.size));
        f.readable = static_cast<bool>(
            in.read(reinterpret_cast<char *>(f.data.data()), static_cast<std::streamsize>(f.size)));
    }
    return f;
}

/*-**** Text ****/

// UTF-8 to UTF-16LE, as archive names are stored; null for text that is not
// valid UTF-8.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// ASCII letters in lower case (DLL names, which Windows compares so).
inline std::string ascii_lower(std::string text) {
    for (char &c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    return text;
}

// A path as UTF-8 text, for messages and names.
inline std::string path_utf8(const std::filesystem::path &path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A path from UTF-8 text, e.g. a command-line argument.
inline std::filesystem::path utf8_path(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace velsor
