// UTF-8 to UTF-16LE, as archive names are stored.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velsor {

// Null for text that is not valid UTF-8.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

}  // namespace velsor
