// Writing a packed executable: the launcher with its own resource section
// replaced when resources are added, the payload block as a read-only
// section of its own after the launcher's sections, and the records filled.
#include <algorithm>

#include "pack/image/image.h"
#include "pack/image/records.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr char resource_section_name[] = ".rsrc";
constexpr std::uint64_t largest_file_offset = 0xFFFFFFFF;
constexpr size_t copy_chunk = 1 << 20;

// The unpack mode record's fields after its marker: the flags and the
// template, zero-filled.
bytes mode_record_fields(const unpack_mode &mode, std::uint64_t identity) {
    std::u16string text = stored_template(mode, identity);
    bytes fields;
    append_le(fields, mode.cache ? unpack_mode_flag_cache : 0, 4);
    append_le(fields, 0, unpack_mode_template_offset - unpack_mode_flags_offset - 4);
    for (char16_t unit : text) {
        append_le(fields, unit, 2);
    }
    fields.insert(fields.end(), unpack_mode_record_size - unpack_mode_flags_offset - fields.size(), 0);
    return fields;
}

}  // namespace

executable_writer::executable_writer(const launcher_image &launcher, const fs::path &out,
                                     const executable_options &options)
    : launcher_(launcher), options_(options), writer_(launcher.image, out) {
    if (options_.unpack && !launcher.mode_record_offset) {
        throw pack_error("--cache and --unpack-dir need a launcher with the unpack modes; " + launcher.image.origin +
                         " has none (use velsor-launcher-modes.exe)");
    }
    if (!options_.resources.empty()) {
        add_resources();
    }
    if (options_.subsystem) {
        writer_.model().subsystem = *options_.subsystem;
    }
    block_ = writer_.add_streamed_section(payload_section_name);
    writer_.write_sections();
}

// The resource section goes before the block. It holds the launcher's
// resources, less those of the types being added, and those added.
void executable_writer::add_resources() {
    if (!has_section_header_room(launcher_.image, 2)) {
        throw pack_error(launcher_.image.origin +
                         " cannot be used as the launcher: its headers have no room for 2 more section headers");
    }
    const pe_headers &h = launcher_.image.headers;
    pe_source source(launcher_.image.file, launcher_.image.origin);
    std::vector<resource> all;
    for (auto &r : read_resources(source, h)) {
        bool replaced = std::any_of(options_.resources.begin(), options_.resources.end(),
                                    [&](const resource &added) { return added.type == r.type; });
        if (!replaced) {
            all.push_back(std::move(r));
        }
    }
    all.insert(all.end(), options_.resources.begin(), options_.resources.end());
    pe_headers &model = writer_.model();
    if (const pe_section *own = resource_section(h)) {
        rename_section(model, static_cast<size_t>(own - h.sections.data()), replaced_resource_section_name);
    }
    std::uint32_t rva = writer_.next_section_rva();
    bytes section = build_resource_section(std::move(all), rva);
    model.directories.at(pe_directory_resource) = pe_directory{rva, static_cast<std::uint32_t>(section.size())};
    writer_.add_section(resource_section_name, std::move(section));
}

void executable_writer::check_fits(std::uint64_t block_length) const {
    const pe_headers &h = launcher_.image.headers;
    std::uint64_t image = block_.virtual_address + align_up(block_length, h.section_alignment);
    std::uint64_t file_end = block_.raw_offset + align_up(block_length, h.file_alignment);
    if (image >= largest_image_size || file_end > largest_file_offset) {
        throw pack_error("the payload block (" + std::to_string(block_length) + " bytes) would make the image " +
                         std::to_string(image) + " bytes large; Windows loads images below " +
                         std::to_string(largest_image_size) + " bytes");
    }
}

void executable_writer::finish(std::uint64_t block_length) {
    check_fits(block_length);
    bytes record;
    append_le(record, launcher_.image.headers.image_base + block_.virtual_address, 8);
    append_le(record, block_length, 8);
    writer_.patch(launcher_.record_offset + payload_record_address_offset, std::move(record));
    if (options_.unpack) {
        std::uint64_t identity = read_back_identity(block_length);
        writer_.patch(*launcher_.mode_record_offset + unpack_mode_flags_offset,
                      mode_record_fields(*options_.unpack, identity));
    }
    writer_.finish(block_length);
}

// With the cache the template ends in the block's identity, read back from
// the file as written.
std::uint64_t executable_writer::read_back_identity(std::uint64_t block_length) {
    std::iostream &file = writer_.stream();
    file.flush();
    file.seekg(static_cast<std::streamoff>(block_.raw_offset));
    block_identity identity;
    std::vector<unsigned char> chunk(copy_chunk);
    for (std::uint64_t left = block_length; left > 0;) {
        auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(left, chunk.size()));
        if (!file.read(reinterpret_cast<char *>(chunk.data()), n)) {
            throw pack_error("cannot read back " + path_utf8(writer_.path()));
        }
        identity.add(chunk.data(), static_cast<size_t>(n));
        left -= static_cast<std::uint64_t>(n);
    }
    return identity.value();
}

}  // namespace velsor
