// Finding velsor's parts again in a packed executable or a block file, for
// list, verify and extract.
#include <algorithm>
#include <fstream>

#include "pack/image/image.h"
#include "pack/image/records.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

// The linker may round the section's size up to its alignment; the block
// ends at most this many bytes before the section does.
constexpr std::uint64_t section_padding_max = 16;
// A bound on the part before the block that is read for its records: the
// launcher, its resources and an icon fit well below it.
constexpr std::uint64_t largest_launcher_part = 256u << 20;

block_location locate_in_executable(const fs::path &file, std::ifstream &in) {
    pe_headers headers = read_pe_headers(file);
    const pe_section *section = find_section(headers, payload_section_name);
    if (section == nullptr) {
        throw pack_error(path_utf8(file) + " has no " + payload_section_name +
                         " section: not an executable made by velsor-pack");
    }
    std::uint64_t start = section->raw_offset;
    std::uint64_t content = section->virtual_size != 0 ? std::min(section->virtual_size, section->raw_size)
                                                       : section->raw_size;
    if (!block_header_at(in, start)) {
        throw pack_error(path_utf8(file) + ": the " + payload_section_name + " section does not start with \"QZV\"");
    }
    for (std::uint64_t pad = 0; pad <= section_padding_max && pad <= content; pad++) {
        if (block_trailer_closes(in, start, start + content - pad)) {
            return block_location{start, content - pad};
        }
    }
    throw pack_error(path_utf8(file) + ": no payload trailer at the end of the " + payload_section_name + " section");
}

}  // namespace

block_location locate_block(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::error_code error;
    std::uint64_t size = fs::file_size(file, error);
    if (!in || error) {
        throw pack_error("cannot read " + path_utf8(file));
    }
    if (looks_like_pe(file)) {
        return locate_in_executable(file, in);
    }
    if (!block_header_at(in, 0) || !block_trailer_closes(in, 0, size)) {
        throw pack_error(path_utf8(file) + " is neither a payload block nor a packed executable");
    }
    return block_location{0, size};
}

// The record lies in the launcher's part of the file, before the block.
std::optional<unpack_mode_setting> read_unpack_mode(const fs::path &file, const block_location &block) {
    if (block.offset > largest_launcher_part) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    bytes head(static_cast<size_t>(block.offset));
    if (!in.read(reinterpret_cast<char *>(head.data()), static_cast<std::streamsize>(head.size()))) {
        return std::nullopt;
    }
    auto record = first_record(head, mode_record);
    if (!record) {
        return std::nullopt;
    }
    std::uint32_t flags = load_u32(head, *record + unpack_mode_flags_offset);
    std::u16string text =
        record_text(head, *record + unpack_mode_template_offset, unpack_mode_template_units - 1);
    if (flags == 0 && text.empty()) {
        return std::nullopt;
    }
    return unpack_mode_setting{(flags & unpack_mode_flag_cache) != 0, text};
}

}  // namespace velsor
