// UTF-8 to UTF-16LE, as archive names are stored, and paths as UTF-8 text.
//
// The packer keeps every name as UTF-8 in std::string, on Windows too:
// paths are made from UTF-8 and shown as UTF-8, never through the narrow
// code page that std::filesystem::path::string() would use there.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velsor {

// Null for text that is not valid UTF-8.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

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
