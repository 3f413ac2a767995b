// The version resource (VS_VERSIONINFO) in the layout that Explorer and the
// version API read.
#include <charconv>
#include <cstdio>

#include "pack/pe/rsrc/rsrc.h"

namespace velsor {

namespace {

constexpr std::uint16_t max_block_length = 0xFFFF;  // wLength is 16 bits
constexpr std::uint16_t block_binary = 0;           // wType: the value is bytes
constexpr std::uint16_t block_text = 1;             // wType: the value is UTF-16 text
constexpr std::uint32_t fixed_signature = 0xFEEF04BD;
constexpr std::uint32_t fixed_struc_version = 0x00010000;
constexpr std::uint32_t fixed_flags_mask = 0x3F;   // VS_FFI_FILEFLAGSMASK
constexpr std::uint32_t fixed_os = 0x00040004;     // VOS_NT_WINDOWS32
constexpr std::uint32_t fixed_type_app = 1;        // VFT_APP
constexpr std::uint16_t fixed_info_size = 52;      // VS_FIXEDFILEINFO, 13 DWORDs
constexpr std::uint16_t codepage_unicode = 1200;
constexpr char string_table_key[] = "040904B0";  // US English, Unicode

// Version blocks: header (wLength, wValueLength, wType), key, padding to 32
// bits, value, then the children, each starting on a 32-bit boundary. A
// block's wLength runs to the end of its last child or its value, without
// padding after it.
class version_writer {
public:
    size_t begin(const std::u16string &key, std::uint16_t value_length, std::uint16_t type) {
        pad_to(out_, 4);
        size_t start = out_.size();
        append_le(out_, 0, 2);  // wLength, set by end()
        append_le(out_, value_length, 2);
        append_le(out_, type, 2);
        append_text(key);
        pad_to(out_, 4);
        return start;
    }

    void append_text(const std::u16string &text) {
        for (char16_t unit : text) {
            append_le(out_, static_cast<std::uint16_t>(unit), 2);
        }
        append_le(out_, 0, 2);
    }

    void append_u32(std::uint32_t v) { append_le(out_, v, 4); }

    // False when the block is longer than its 16-bit length can say.
    bool end(size_t start) {
        size_t length = out_.size() - start;
        if (length > max_block_length) {
            return false;
        }
        store_u16(out_, start, static_cast<std::uint16_t>(length));
        return true;
    }

    bytes take() { return std::move(out_); }

private:
    bytes out_;
};

struct version_string {
    const char *key;
    std::string label;  // how the user gave it, for messages
    std::u16string value;
};

// A string as the version resource holds it, or a pack_error naming `label`.
std::u16string checked_version_text(const std::string &label, const std::string &text) {
    auto wide = utf8_to_utf16(text);
    if (!wide) {
        throw pack_error(label + " is not valid UTF-8");
    }
    for (char16_t unit : *wide) {
        if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            char code[8];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(unit));
            throw pack_error(label + " holds a control character (" + code + ")");
        }
    }
    return *wide;
}

std::u16string ascii(const std::string &text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

std::array<std::uint16_t, 4> parse_version_number(const std::string &text) {
    auto refuse = [&]() -> std::array<std::uint16_t, 4> {
        throw pack_error("--version takes four numbers from 0 to 65535 separated by dots (A.B.C.D), not \"" + text +
                         "\"");
    };
    std::array<std::uint16_t, 4> parts{};
    const char *p = text.data();
    const char *end = text.data() + text.size();
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0) {
            if (p == end || *p != '.') {
                return refuse();
            }
            ++p;
        }
        const char *digits = p;
        while (p != end && *p >= '0' && *p <= '9' && p - digits < 6) {
            ++p;
        }
        unsigned value = 0;
        if (p == digits || std::from_chars(digits, p, value).ptr != p || value > 0xFFFF) {
            return refuse();
        }
        parts[i] = static_cast<std::uint16_t>(value);
    }
    if (p != end) {
        return refuse();
    }
    return parts;
}

resource version_resource(const std::array<std::uint16_t, 4> &version, const version_strings &strings) {
    std::string number = std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
                         std::to_string(version[2]) + "." + std::to_string(version[3]);
    // Alphabetical, the order in which resource editors list them.
    std::vector<version_string> table;
    auto add = [&](const char *key, const std::string &label, const std::optional<std::string> &text) {
        if (text && !text->empty()) {
            table.push_back({key, label, checked_version_text(label, *text)});
        }
    };
    add("CompanyName", "--company", strings.company);
    add("FileDescription", "--description", strings.description);
    table.push_back({"FileVersion", "--version", ascii(number)});
    add("InternalName", "the internal name (InternalName)", strings.internal_name);
    add("LegalCopyright", "--copyright", strings.copyright);
    add("OriginalFilename", "the original file name (OriginalFilename)", strings.original_filename);
    add("ProductName", "--product", strings.product);
    table.push_back({"ProductVersion", "--version", ascii(number)});

    const std::uint32_t high = (std::uint32_t{version[0]} << 16) | version[1];
    const std::uint32_t low = (std::uint32_t{version[2]} << 16) | version[3];
    version_writer w;
    size_t info = w.begin(u"VS_VERSION_INFO", fixed_info_size, block_binary);
    for (std::uint32_t v : {fixed_signature, fixed_struc_version, high, low, high, low, fixed_flags_mask,
                            std::uint32_t{0}, fixed_os, fixed_type_app, std::uint32_t{0}, std::uint32_t{0},
                            std::uint32_t{0}}) {
        w.append_u32(v);
    }
    size_t file_info = w.begin(u"StringFileInfo", 0, block_text);
    size_t string_table = w.begin(ascii(string_table_key), 0, block_text);
    for (const auto &s : table) {
        auto too_long = [&s] {
            return pack_error(s.label + " is too long for the version resource (" + std::to_string(s.value.size()) +
                              " UTF-16 units; one string may take at most 65535 bytes)");
        };
        if (s.value.size() >= max_block_length / 2) {  // the text alone would pass the block's 16-bit length
            throw too_long();
        }
        // wValueLength of a text value counts UTF-16 units with the terminator.
        size_t block = w.begin(ascii(s.key), static_cast<std::uint16_t>(s.value.size() + 1), block_text);
        w.append_text(s.value);
        if (!w.end(block)) {
            throw too_long();
        }
    }
    bool fits = w.end(string_table) && w.end(file_info);
    size_t var_info = w.begin(u"VarFileInfo", 0, block_text);
    size_t translation = w.begin(u"Translation", 4, block_binary);
    w.append_u32(std::uint32_t{codepage_unicode} << 16 | language_en_us);
    fits = fits && w.end(translation) && w.end(var_info) && w.end(info);
    if (!fits) {
        throw pack_error("the version strings together are too long for the version resource (at most 65535 bytes)");
    }
    return resource{rt_version, 1, language_en_us, w.take()};
}

}  // namespace velsor
