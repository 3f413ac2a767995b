// Icons: the images of a .ico file as the icon group and icon resources
// that LoadIcon and Explorer read, each image checked against its directory
// entry; and a program's own icon and version, for the defaults of packing it.
#include <algorithm>

#include "pack/pe/rsrc/rsrc.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

std::uint32_t u32_big_endian_at(const bytes &b, size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 24) | (static_cast<std::uint32_t>(b[at + 1]) << 16) |
           (static_cast<std::uint32_t>(b[at + 2]) << 8) | static_cast<std::uint32_t>(b[at + 3]);
}

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


/*-**** A program's own icon and version ****/

namespace {

constexpr size_t group_entry_id = 12;  // in a GRPICONDIRENTRY

// The icon of `id` in the group's language, else the first of that id.
const resource *icon_for(const std::vector<resource> &all, std::uint16_t id, std::uint16_t language) {
    const resource *icon = nullptr;
    for (const auto &r : all) {
        bool better = icon == nullptr || (r.language == language && icon->language != language);
        if (r.type == rt_icon && r.id == id && better) {
            icon = &r;
        }
    }
    return icon;
}

}  // namespace

program_resources read_program_resources(pe_source &file, const pe_headers &headers) {
    program_resources out;
    std::vector<resource> all = read_resources(file, headers, resource_names::skip_named);
    auto group = std::find_if(all.begin(), all.end(), [](const resource &r) { return r.type == rt_group_icon; });
    if (group != all.end() && group->data.size() >= icon_header_size) {
        size_t count = load_u16(group->data, 4);
        for (size_t i = 0; i < count && icon_header_size + (i + 1) * group_entry_size <= group->data.size(); i++) {
            std::uint16_t id = load_u16(group->data, icon_header_size + i * group_entry_size + group_entry_id);
            if (const resource *icon = icon_for(all, id, group->language)) {
                out.icon.push_back(*icon);
            }
        }
        out.icon.push_back(*group);
    }
    std::copy_if(all.begin(), all.end(), std::back_inserter(out.version),
                 [](const resource &r) { return r.type == rt_version; });
    return out;
}

}  // namespace velsor
