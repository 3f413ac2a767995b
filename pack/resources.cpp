// Icon, version and resource-section bytes in the layouts that Windows'
// loader, LoadIcon, Explorer and the version API read. Everything that comes
// from outside (the .ico file, an existing section) is bounds-checked.
#include "pack/resources.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <tuple>

#include "pack/bytes.h"
#include "pack/error.h"
#include "pack/utf16.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

std::uint32_t u32_big_endian_at(const bytes &b, size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 24) | (static_cast<std::uint32_t>(b[at + 1]) << 16) |
           (static_cast<std::uint32_t>(b[at + 2]) << 8) | static_cast<std::uint32_t>(b[at + 3]);
}

void pad_to(bytes &b, size_t alignment) {
    while (b.size() % alignment != 0) {
        b.push_back(0);
    }
}

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
    return text;
}

/*-**** Icon files ****/

constexpr size_t icon_header_size = 6;       // ICONDIR: reserved, type, count
constexpr size_t icon_entry_size = 16;       // ICONDIRENTRY
constexpr size_t group_entry_size = 14;      // GRPICONDIRENTRY: the offset becomes a 16-bit id
constexpr std::uint16_t icon_type_icon = 1;
constexpr std::uint16_t icon_type_cursor = 2;
constexpr std::uintmax_t max_icon_file_size = 64u << 20;  // a sanity bound: real ones are well below 1 MiB
constexpr unsigned char png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t png_ihdr_end = 8 + 8 + 13;  // signature, chunk length and type, IHDR data
constexpr std::uint32_t bitmap_info_header_size = 40;
constexpr std::uint32_t bi_rgb = 0;

struct icon_entry {
    unsigned width = 0;   // pixels; 0 in the file means 256
    unsigned height = 0;
    unsigned char colours = 0;
    unsigned char reserved = 0;
    std::uint16_t planes = 0;
    std::uint16_t bit_count = 0;
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
};

bytes read_icon_file(const fs::path &file) {
    whole_file f = read_whole_file(file, max_icon_file_size);
    if (!f.readable) {
        throw pack_error("cannot read " + path_utf8(file));
    }
    if (f.size > max_icon_file_size) {
        throw pack_error(path_utf8(file) + " is not an icon file (" + std::to_string(f.size) +
                         " bytes, far larger than any)");
    }
    return std::move(f.data);
}

// Checks the image's own header against its directory entry; returns the
// bits per pixel that the image itself declares.
std::uint16_t check_icon_image(const std::string &where, const bytes &image, const icon_entry &e) {
    std::string says = std::to_string(e.width) + "x" + std::to_string(e.height);
    if (image.size() >= sizeof png_signature && std::equal(png_signature, png_signature + 8, image.begin())) {
        if (image.size() < png_ihdr_end) {
            throw pack_error(where + " is a PNG image too short for its header (" + std::to_string(image.size()) +
                             " bytes)");
        }
        if (u32_big_endian_at(image, 8) != 13 || std::string(image.begin() + 12, image.begin() + 16) != "IHDR") {
            throw pack_error(where + " is a PNG image that does not start with its IHDR chunk");
        }
        std::uint32_t width = u32_big_endian_at(image, 16);
        std::uint32_t height = u32_big_endian_at(image, 20);
        if (width != e.width || height != e.height) {
            throw pack_error(where + " is a PNG image of " + std::to_string(width) + "x" + std::to_string(height) +
                             " pixels but its directory entry says " + says);
        }
        unsigned depth = image[24];
        static constexpr unsigned channels[] = {1, 0, 3, 1, 2, 0, 4};  // by PNG colour type
        unsigned colour_type = image[25];
        return static_cast<std::uint16_t>(colour_type < 7 ? depth * channels[colour_type] : 0);
    }

    std::uint32_t header_size = image.size() >= 4 ? load_u32(image, 0) : 0;
    if (image.size() < bitmap_info_header_size || header_size != bitmap_info_header_size) {
        throw pack_error(where + " is neither a PNG image nor a bitmap with a 40-byte BITMAPINFOHEADER");
    }
    auto width = static_cast<std::int32_t>(load_u32(image, 4));
    auto height = static_cast<std::int32_t>(load_u32(image, 8));
    std::uint16_t planes = load_u16(image, 12);
    std::uint16_t bits = load_u16(image, 14);
    std::uint32_t compression = load_u32(image, 16);
    std::uint32_t colours_used = load_u32(image, 32);
    if (width != static_cast<std::int32_t>(e.width)) {
        throw pack_error(where + " is a bitmap " + std::to_string(width) +
                         " pixels wide but its directory entry says " + says);
    }
    if (height != 2 * static_cast<std::int32_t>(e.height)) {
        throw pack_error(where + " is a bitmap of height " + std::to_string(height) + ", not twice the height " +
                         std::to_string(e.height) + " of its directory entry (image and mask)");
    }
    if (planes != 1) {
        throw pack_error(where + " is a bitmap with " + std::to_string(planes) + " planes, not 1");
    }
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        throw pack_error(where + " is a bitmap with an unsupported bit count of " + std::to_string(bits));
    }
    if (compression != bi_rgb) {
        throw pack_error(where + " is a compressed bitmap (compression " + std::to_string(compression) +
                         "), which icons cannot hold");
    }
    // Rows of the colour image and of the 1-bit AND mask are padded to 32 bits.
    std::uint64_t palette = colours_used != 0 ? colours_used : bits <= 8 ? (1u << bits) : 0;
    std::uint64_t xor_bytes = (std::uint64_t{e.width} * bits + 31) / 32 * 4 * e.height;
    std::uint64_t and_bytes = (std::uint64_t{e.width} + 31) / 32 * 4 * e.height;
    std::uint64_t needed = bitmap_info_header_size + palette * 4 + xor_bytes + and_bytes;
    if (needed > image.size()) {
        throw pack_error(where + " is a " + says + " bitmap of " + std::to_string(bits) + " bits that needs " +
                         std::to_string(needed) + " bytes (header, colours, image and mask) but has " +
                         std::to_string(image.size()));
    }
    return bits;
}

}  // namespace

std::vector<resource> icon_resources(const fs::path &ico) {
    const std::string name = path_utf8(ico);
    bytes file = read_icon_file(ico);
    if (file.size() < icon_header_size) {
        throw pack_error(name + " is not an icon file (only " + std::to_string(file.size()) + " bytes)");
    }
    std::uint16_t type = load_u16(file, 2);
    if (load_u16(file, 0) != 0 || (type != icon_type_icon && type != icon_type_cursor)) {
        throw pack_error(name + " is not an icon file (no icon header)");
    }
    if (type == icon_type_cursor) {
        throw pack_error(name + " is a cursor file, not an icon file");
    }
    std::uint16_t count = load_u16(file, 4);
    if (count == 0) {
        throw pack_error(name + ": the icon file holds no images");
    }
    size_t directory_end = icon_header_size + size_t{count} * icon_entry_size;
    if (directory_end > file.size()) {
        throw pack_error(name + " is truncated: its directory lists " + std::to_string(count) + " images (" +
                         std::to_string(directory_end) + " bytes) but the file ends after " +
                         std::to_string(file.size()));
    }

    std::vector<resource> out;
    resource group{rt_group_icon, 1, language_en_us, {}};
    group.data.reserve(icon_header_size + size_t{count} * group_entry_size);
    append_le(group.data, 0, 2);
    append_le(group.data, icon_type_icon, 2);
    append_le(group.data, count, 2);
    for (std::uint16_t i = 0; i < count; i++) {
        size_t at = icon_header_size + size_t{i} * icon_entry_size;
        icon_entry e;
        e.width = file[at] == 0 ? 256 : file[at];
        e.height = file[at + 1] == 0 ? 256 : file[at + 1];
        e.colours = file[at + 2];
        e.reserved = file[at + 3];
        e.planes = load_u16(file, at + 4);
        e.bit_count = load_u16(file, at + 6);
        e.size = load_u32(file, at + 8);
        e.offset = load_u32(file, at + 12);

        const std::string where = name + ": image " + std::to_string(i + 1);
        if (e.size == 0) {
            throw pack_error(where + " is empty (0 bytes)");
        }
        if (e.offset < directory_end) {
            throw pack_error(where + " starts at offset " + std::to_string(e.offset) +
                             ", inside the icon directory (which ends at " + std::to_string(directory_end) + ")");
        }
        if (std::uint64_t{e.offset} + e.size > file.size()) {
            throw pack_error(where + " says " + std::to_string(e.size) + " bytes at offset " +
                             std::to_string(e.offset) + " but the file ends after " + std::to_string(file.size()));
        }
        bytes image(file.begin() + e.offset, file.begin() + e.offset + e.size);
        std::uint16_t image_bits = check_icon_image(where, image, e);

        // The group entry repeats the file's entry, with the image's own bit
        // count where the file leaves it 0: icon selection reads these fields.
        std::uint16_t id = static_cast<std::uint16_t>(i + 1);
        group.data.push_back(file[at]);
        group.data.push_back(file[at + 1]);
        group.data.push_back(e.colours);
        group.data.push_back(e.reserved);
        append_le(group.data, e.planes != 0 ? e.planes : 1, 2);
        append_le(group.data, e.bit_count != 0 ? e.bit_count : image_bits, 2);
        append_le(group.data, e.size, 4);
        append_le(group.data, id, 2);
        out.push_back(resource{rt_icon, id, language_en_us, std::move(image)});
    }
    out.push_back(std::move(group));
    return out;
}

/*-**** Version resource ****/

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

/*-**** Resource section ****/

namespace {

constexpr size_t directory_header_size = 16;  // IMAGE_RESOURCE_DIRECTORY
constexpr size_t directory_entry_size = 8;    // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr size_t data_entry_size = 16;        // IMAGE_RESOURCE_DATA_ENTRY
constexpr size_t data_alignment = 8;
constexpr std::uint32_t entry_is_directory = 0x80000000;  // in an entry's offset
constexpr std::uint32_t entry_is_named = 0x80000000;      // in an entry's name
constexpr std::uint32_t max_section_size = 0x7FFFFFFF;    // offsets keep their high bit clear
constexpr int tree_levels = 3;                            // type, name, language

void put_directory_header(bytes &b, size_t id_entries) {
    append_le(b, 0, 4);  // Characteristics
    append_le(b, 0, 4);  // TimeDateStamp: none, for reproducible output
    append_le(b, 0, 2);  // MajorVersion
    append_le(b, 0, 2);  // MinorVersion
    append_le(b, 0, 2);  // NumberOfNamedEntries
    append_le(b, static_cast<std::uint16_t>(id_entries), 2);
}

struct name_node {
    std::uint16_t id;
    std::vector<size_t> leaves;  // indexes into the sorted resources
    std::uint64_t table = 0;     // offset of its language table
};

struct type_node {
    std::uint16_t type;
    std::vector<name_node> names;
    std::uint64_t table = 0;  // offset of its name table
};

// Walks an existing tree, refusing anything a loader would misread.
class section_reader {
public:
    section_reader(const bytes &section, std::uint32_t rva, const std::string &origin, resource_names names)
        : section_(section), rva_(rva), origin_(origin), names_(names) {}

    void directory(std::uint32_t offset, int level, resource key, std::vector<resource> &out) {
        if (!tables_.insert(offset).second) {
            fail("table at " + hex(offset) + " is reached twice");
        }
        need(offset, directory_header_size, "directory table");
        std::uint16_t named = load_u16(section_, offset + 12);
        std::uint16_t ids = load_u16(section_, offset + 14);
        size_t count = size_t{named} + ids;
        need(offset + directory_header_size, count * directory_entry_size, "directory entries");
        for (size_t i = 0; i < count; i++) {
            size_t at = offset + directory_header_size + i * directory_entry_size;
            std::uint32_t name = load_u32(section_, at);
            std::uint32_t target = load_u32(section_, at + 4);
            if ((name & entry_is_named) != 0 && names_ == resource_names::skip_named) {
                continue;
            }
            if ((name & entry_is_named) != 0) {
                throw pack_error(origin_ + ": the resource section holds a resource named by a string, which velsor "
                                           "cannot carry over");
            }
            if (name > 0xFFFF) {
                fail("entry id " + hex(name) + " is wider than 16 bits");
            }
            std::uint16_t id = static_cast<std::uint16_t>(name);
            (level == 0 ? key.type : level == 1 ? key.id : key.language) = id;
            bool is_directory = (target & entry_is_directory) != 0;
            if (is_directory != (level < tree_levels - 1)) {
                fail(std::string(is_directory ? "a table" : "data") + " where the tree needs " +
                     (is_directory ? "data" : "a table"));
            }
            if (is_directory) {
                directory(target & ~entry_is_directory, level + 1, key, out);
            } else {
                out.push_back(leaf(target, key));
            }
        }
    }

private:
    resource leaf(std::uint32_t offset, resource key) {
        if (!data_entries_.insert(offset).second) {
            fail("data entry at " + hex(offset) + " is reached twice");
        }
        need(offset, data_entry_size, "data entry");
        std::uint32_t data_rva = load_u32(section_, offset);
        std::uint32_t size = load_u32(section_, offset + 4);
        if (data_rva < rva_ || data_rva - rva_ > section_.size() || size > section_.size() - (data_rva - rva_)) {
            fail("data of type " + std::to_string(key.type) + " id " + std::to_string(key.id) + " at RVA " +
                 hex(data_rva) + " (" + std::to_string(size) + " bytes) lies outside the section");
        }
        auto begin = section_.begin() + (data_rva - rva_);
        key.data.assign(begin, begin + size);
        return key;
    }

    void need(std::uint64_t offset, std::uint64_t size, const char *what) const {
        if (offset > section_.size() || size > section_.size() - offset) {
            fail(std::string(what) + " at " + hex(static_cast<std::uint32_t>(offset)) + " runs past the end");
        }
    }

    [[noreturn]] void fail(const std::string &why) const {
        throw pack_error(origin_ + ": damaged resource section (" + why + ")");
    }

    const bytes &section_;
    std::uint32_t rva_;
    const std::string &origin_;
    resource_names names_;
    std::set<std::uint32_t> tables_;        // a tree: no table or data entry is shared,
    std::set<std::uint32_t> data_entries_;  // which also bounds the work by the section's size
};

}  // namespace

std::vector<unsigned char> build_resource_section(std::vector<resource> resources, std::uint32_t section_rva) {
    auto key = [](const resource &r) { return std::tuple(r.type, r.id, r.language); };
    std::stable_sort(resources.begin(), resources.end(),
                     [&](const resource &a, const resource &b) { return key(a) < key(b); });
    std::vector<type_node> types;
    for (size_t i = 0; i < resources.size(); i++) {
        const resource &r = resources[i];
        if (i > 0 && key(resources[i - 1]) == key(r)) {
            throw pack_error("two resources of type " + std::to_string(r.type) + ", id " + std::to_string(r.id) +
                             " and language " + std::to_string(r.language));
        }
        if (types.empty() || types.back().type != r.type) {
            types.push_back({r.type, {}, 0});
        }
        auto &names = types.back().names;
        if (names.empty() || names.back().id != r.id) {
            names.push_back({r.id, {}, 0});
        }
        names.back().leaves.push_back(i);
    }

    // Layout: the directory tables depth first (each type's table followed
    // by its names' tables, as GNU ld lays them out); the data entries; the data.
    std::uint64_t end = directory_header_size + types.size() * directory_entry_size;
    for (auto &t : types) {
        t.table = end;
        end += directory_header_size + t.names.size() * directory_entry_size;
        for (auto &n : t.names) {
            n.table = end;
            end += directory_header_size + n.leaves.size() * directory_entry_size;
        }
    }
    const std::uint64_t data_entries = end;
    end += resources.size() * data_entry_size;
    std::vector<std::uint64_t> data_offsets;
    for (const auto &r : resources) {
        data_offsets.push_back(end);
        end += (r.data.size() + data_alignment - 1) / data_alignment * data_alignment;
    }
    if (end > max_section_size || end > std::uint64_t{0xFFFFFFFF} - section_rva) {
        throw pack_error("the resources are too large for a resource section (" + std::to_string(end) + " bytes)");
    }

    bytes out;
    out.reserve(static_cast<size_t>(end));
    put_directory_header(out, types.size());
    for (const auto &t : types) {
        append_le(out, t.type, 4);
        append_le(out, entry_is_directory | static_cast<std::uint32_t>(t.table), 4);
    }
    for (const auto &t : types) {
        put_directory_header(out, t.names.size());
        for (const auto &n : t.names) {
            append_le(out, n.id, 4);
            append_le(out, entry_is_directory | static_cast<std::uint32_t>(n.table), 4);
        }
        for (const auto &n : t.names) {
            put_directory_header(out, n.leaves.size());
            for (size_t leaf : n.leaves) {
                append_le(out, resources[leaf].language, 4);
                append_le(out, static_cast<std::uint32_t>(data_entries + leaf * data_entry_size), 4);
            }
        }
    }
    for (size_t i = 0; i < resources.size(); i++) {
        append_le(out, section_rva + static_cast<std::uint32_t>(data_offsets[i]), 4);  // OffsetToData is an RVA
        append_le(out, static_cast<std::uint32_t>(resources[i].data.size()), 4);
        append_le(out, 0, 4);  // CodePage
        append_le(out, 0, 4);  // Reserved
    }
    for (const auto &r : resources) {
        out.insert(out.end(), r.data.begin(), r.data.end());
        pad_to(out, data_alignment);
    }
    return out;
}

std::vector<resource> read_resource_section(const std::vector<unsigned char> &section, std::uint32_t section_rva,
                                            const std::string &origin, resource_names names) {
    std::vector<resource> out;
    section_reader(section, section_rva, origin, names).directory(0, 0, resource{}, out);
    return out;
}

}  // namespace velsor
