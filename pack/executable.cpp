// Packed executables: checking a launcher, laying out the block's section
// and fixing up the headers.
#include "pack/executable.h"

#include <algorithm>
#include <array>
#include <functional>

#include "pack/error.h"
#include "pack/utf16.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr std::uint16_t coff_section_count = 2;          // offsets in the COFF header
constexpr std::uint32_t base_relocation_dir64 = 10;      // IMAGE_REL_BASED_DIR64
constexpr std::uint32_t read_only_data = 0x00000040 | 0x40000000;  // initialised data, readable
constexpr char resource_section_name[] = ".rsrc";
constexpr std::uint64_t largest_launcher = 64u << 20;  // a sanity bound for --launcher files
constexpr std::uint64_t largest_file_offset = 0xFFFFFFFF;
constexpr size_t copy_chunk = 1 << 20;

bool is_power_of_two(std::uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

[[noreturn]] void refuse(const launcher_image &l, const std::string &why) {
    throw pack_error(l.origin + " cannot be used as the launcher: " + why);
}

void check_kind(const launcher_image &l) {
    const pe_headers &h = l.headers;
    if (h.machine != pe_machine_amd64 || h.optional_magic != pe_magic_pe32_plus) {
        refuse(l, "it is not a 64-bit (x86-64) PE executable");
    }
    if ((h.characteristics & pe_characteristic_executable) == 0 || (h.characteristics & pe_characteristic_dll) != 0) {
        refuse(l, "it is a DLL, not an executable");
    }
    if (!is_power_of_two(h.file_alignment) || !is_power_of_two(h.section_alignment) ||
        h.file_alignment > h.section_alignment || h.directories.size() <= pe_directory_base_relocation) {
        refuse(l, "its optional header is damaged");
    }
    for (const auto &s : h.sections) {
        if (std::uint64_t{s.virtual_address} + s.virtual_size > h.size_of_image ||
            std::uint64_t{s.raw_offset} + s.raw_size > l.file.size()) {
            refuse(l, "section " + s.name + " lies outside the image or the file");
        }
    }
}

// A signature covers the file as it is; once the block is added it would
// only tell Windows that the file was tampered with. The certificate table
// is not mapped, so dropping it moves nothing.
void drop_certificate_table(launcher_image &l) {
    pe_directory &security = l.headers.directories[pe_directory_security];
    if (security.size == 0) {
        return;
    }
    if (std::uint64_t{security.rva} + security.size != l.file.size()) {
        refuse(l, "its certificate table is not at the end of the file");
    }
    l.file.resize(security.rva);
    security = pe_directory{};
    store_u64(l.file, l.headers.optional_offset + pe_optional_directories + 8 * pe_directory_security, 0);
    l.signature_dropped = true;
}

std::uint32_t rva_of_file_offset(const pe_headers &h, std::uint64_t offset) {
    for (const auto &s : h.sections) {
        if (offset >= s.raw_offset && offset - s.raw_offset < s.raw_size) {
            return static_cast<std::uint32_t>(s.virtual_address + (offset - s.raw_offset));
        }
    }
    return 0;
}

// The record is the one place in the sections' bytes that holds the marker;
// unfilled, its address field points at itself and its length is 0.
void find_record(launcher_image &l) {
    std::vector<std::uint64_t> found =
        find_in_sections(l.file, l.headers, payload_record_marker, payload_record_marker_size);
    if (found.empty()) {
        refuse(l, "it has no block record (is it a velsor launcher?)");
    }
    if (found.size() > 1) {
        refuse(l, "it has " + std::to_string(found.size()) + " block records");
    }
    l.record_offset = found.front();
    l.record_rva = rva_of_file_offset(l.headers, l.record_offset);
    if (l.record_offset + payload_record_size > l.file.size()) {
        refuse(l, "its block record is cut short");
    }
    std::uint64_t address = load_u64(l.file, l.record_offset + payload_record_address_offset);
    std::uint64_t length = load_u64(l.file, l.record_offset + payload_record_length_offset);
    if (address != l.headers.image_base + l.record_rva || length != 0) {
        refuse(l, "it already holds a payload block (it is a packed executable)");
    }
}

// The modes variant has one unfilled unpack mode record; the default one none.
void find_mode_record(launcher_image &l) {
    std::boyer_moore_searcher marker(std::begin(unpack_mode_record_marker), std::end(unpack_mode_record_marker));
    auto at = std::search(l.file.begin(), l.file.end(), marker);
    if (at == l.file.end()) {
        return;
    }
    auto offset = static_cast<std::uint64_t>(at - l.file.begin());
    if (std::search(at + 1, l.file.end(), marker) != l.file.end()) {
        refuse(l, "it has more than one unpack mode record");
    }
    if (offset + unpack_mode_record_size > l.file.size()) {
        refuse(l, "its unpack mode record is cut short");
    }
    auto record = l.file.begin() + static_cast<std::ptrdiff_t>(offset + unpack_mode_flags_offset);
    if (std::any_of(record, record + (unpack_mode_record_size - unpack_mode_flags_offset),
                    [](unsigned char b) { return b != 0; })) {
        refuse(l, "its unpack mode record is already filled in (it is a packed executable)");
    }
    l.mode_record_offset = offset;
}

// When the image may be loaded anywhere (ASLR), the loader must move the
// record's address with it: the launcher's base relocations must cover it.
void check_record_relocation(const launcher_image &l) {
    if ((l.headers.dll_characteristics & pe_dll_dynamic_base) == 0) {
        return;
    }
    std::uint32_t wanted = l.record_rva + payload_record_address_offset;
    const pe_directory &relocations = l.headers.directories[pe_directory_base_relocation];
    auto start = rva_to_file_offset(l.headers, relocations.rva);
    std::uint64_t end = start ? *start + relocations.size : 0;
    for (std::uint64_t at = start.value_or(0); start && at + 8 <= end && at + 8 <= l.file.size();) {
        std::uint32_t page = load_u32(l.file, at);
        std::uint32_t size = load_u32(l.file, at + 4);
        if (size < 8) {
            break;
        }
        for (std::uint64_t entry = at + 8; entry + 2 <= at + size && entry + 2 <= l.file.size(); entry += 2) {
            std::uint16_t value = load_u16(l.file, entry);
            if ((value >> 12) == base_relocation_dir64 && page + (value & 0xFFF) == wanted) {
                return;
            }
        }
        at += size;
    }
    refuse(l, "its block record has no base relocation, so it would break under ASLR");
}

std::uint64_t section_table_end(const pe_headers &h) {
    return std::uint64_t{h.section_table_offset} + h.sections.size() * pe_section_header_size;
}

// New section headers go right after the table, inside the headers and
// before the first section; the space must be unused (zero).
void check_header_room(const launcher_image &l, size_t new_sections) {
    std::uint64_t limit = l.headers.size_of_headers;
    for (const auto &s : l.headers.sections) {
        limit = std::min<std::uint64_t>(limit, s.virtual_address);
        if (s.raw_size != 0) {
            limit = std::min<std::uint64_t>(limit, s.raw_offset);
        }
    }
    std::uint64_t from = section_table_end(l.headers);
    std::uint64_t to = from + new_sections * pe_section_header_size;
    bool room = to <= limit && to <= l.file.size() &&
                std::all_of(l.file.begin() + from, l.file.begin() + to, [](unsigned char b) { return b == 0; });
    if (!room) {
        refuse(l, new_sections == 1 ? "its headers have no room for one more section header"
                                    : "its headers have no room for " + std::to_string(new_sections) +
                                          " more section headers");
    }
}

void write_bytes(std::fstream &out, std::uint64_t offset, const unsigned char *data, size_t size) {
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

// The launcher's section that holds its resource directory, if any.
const pe_section *resource_section(const pe_headers &h) {
    const pe_directory &directory = h.directories[pe_directory_resource];
    for (const auto &s : h.sections) {
        if (directory.size != 0 && directory.rva >= s.virtual_address &&
            directory.rva - s.virtual_address < s.virtual_size) {
            return &s;
        }
    }
    return nullptr;
}

// A section name: up to 8 bytes, padded with zeros.
void store_section_name(bytes &headers, size_t at, const std::string &name) {
    std::fill(headers.begin() + at, headers.begin() + at + 8, 0);
    std::copy(name.begin(), name.end(), headers.begin() + at);
}

void store_section_header(bytes &headers, size_t at, const std::string &name, std::uint32_t virtual_size,
                          std::uint32_t rva, std::uint32_t raw_size, std::uint32_t raw_offset) {
    std::fill(headers.begin() + at, headers.begin() + at + pe_section_header_size, 0);
    store_section_name(headers, at, name);
    store_u32(headers, at + 8, virtual_size);
    store_u32(headers, at + 12, rva);
    store_u32(headers, at + 16, raw_size);
    store_u32(headers, at + 20, raw_offset);
    store_u32(headers, at + 36, read_only_data);
}

void write_zeros(std::ostream &out, std::uint64_t count) {
    static const std::array<char, 4096> zeros{};
    while (count > 0) {
        size_t n = static_cast<size_t>(std::min<std::uint64_t>(count, zeros.size()));
        out.write(zeros.data(), static_cast<std::streamsize>(n));
        count -= n;
    }
}

}  // namespace

launcher_image load_launcher(bytes file, std::string origin) {
    launcher_image l;
    l.origin = std::move(origin);
    l.file = std::move(file);
    l.headers = parse_pe_headers(l.file, l.origin);
    check_kind(l);
    drop_certificate_table(l);
    find_record(l);
    find_mode_record(l);
    check_record_relocation(l);
    check_header_room(l, 1);
    return l;
}

launcher_image read_launcher(const fs::path &path) {
    std::string name = path_utf8(path);
    whole_file f = read_whole_file(path, largest_launcher);
    if (!f.readable) {
        throw pack_error("cannot read the launcher " + name + (f.error ? ": " + f.error.message() : ""));
    }
    if (f.size > largest_launcher) {
        throw pack_error(name + " cannot be used as the launcher: it is too large to be one");
    }
    return load_launcher(std::move(f.data), name);
}

/*-**** The packed executable ****/

executable_writer::executable_writer(const launcher_image &launcher, const fs::path &out,
                                     const executable_options &options)
    : launcher_(launcher), options_(options), path_(out) {
    if (options_.unpack && !launcher.mode_record_offset) {
        throw pack_error("--cache and --unpack-dir need a launcher with the unpack modes; " + launcher.origin +
                         " has none (use velsor-launcher-modes.exe)");
    }
    const pe_headers &h = launcher.headers;
    block_ = added_section{payload_section_name, static_cast<std::uint32_t>(align_up(h.size_of_image, h.section_alignment)),
                           align_up(launcher.file.size(), h.file_alignment), 0};
    if (!options_.resources.empty()) {
        check_header_room(launcher, 2);
        lay_out_resources();
    }
    out_.open(out, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    if (!out_) {
        throw pack_error("cannot write " + path_utf8(out));
    }
    out_.write(reinterpret_cast<const char *>(launcher.file.data()), static_cast<std::streamsize>(launcher.file.size()));
    if (resources_) {
        write_zeros(out_, resources_->offset - launcher.file.size());
        out_.write(reinterpret_cast<const char *>(resource_bytes_.data()),
                   static_cast<std::streamsize>(resource_bytes_.size()));
    }
    if (!out_) {
        throw pack_error("cannot write " + path_utf8(out));
    }
    write_zeros(out_, block_.offset - static_cast<std::uint64_t>(out_.tellp()));
}

// The resource section takes the block's place; the block moves after it.
// It holds the launcher's resources, less those of the types being added.
void executable_writer::lay_out_resources() {
    const pe_headers &h = launcher_.headers;
    std::vector<resource> all;
    if (const pe_section *own = resource_section(h)) {
        bytes section(launcher_.file.begin() + own->raw_offset,
                      launcher_.file.begin() + own->raw_offset + std::min(own->raw_size, own->virtual_size));
        for (auto &r : read_resource_section(section, own->virtual_address, launcher_.origin)) {
            bool replaced = std::any_of(options_.resources.begin(), options_.resources.end(),
                                        [&](const resource &added) { return added.type == r.type; });
            if (!replaced) {
                all.push_back(std::move(r));
            }
        }
    }
    all.insert(all.end(), options_.resources.begin(), options_.resources.end());
    resources_ = block_;
    resources_->name = resource_section_name;
    resource_bytes_ = build_resource_section(std::move(all), resources_->rva);
    resources_->size = resource_bytes_.size();
    block_.rva = static_cast<std::uint32_t>(align_up(resources_->rva + resources_->size, h.section_alignment));
    block_.offset = align_up(resources_->offset + resources_->size, h.file_alignment);
}

void executable_writer::check_fits(std::uint64_t block_length) const {
    const pe_headers &h = launcher_.headers;
    std::uint64_t image = block_.rva + align_up(block_length, h.section_alignment);
    std::uint64_t file_end = block_.offset + align_up(block_length, h.file_alignment);
    if (image >= largest_image_size || file_end > largest_file_offset) {
        throw pack_error("the payload block (" + std::to_string(block_length) + " bytes) would make the image " +
                         std::to_string(image) + " bytes large; Windows loads images below " +
                         std::to_string(largest_image_size) + " bytes");
    }
}

// The launcher's headers with the added sections.
bytes executable_writer::patched_headers(std::uint64_t block_length) const {
    const pe_headers &h = launcher_.headers;
    size_t added = resources_ ? 2 : 1;
    std::uint64_t header_size = section_table_end(h) + added * pe_section_header_size;
    bytes headers(launcher_.file.begin(), launcher_.file.begin() + static_cast<std::ptrdiff_t>(header_size));
    std::uint32_t optional = h.optional_offset;
    size_t at = static_cast<size_t>(section_table_end(h));
    std::uint32_t added_raw = 0;

    if (resources_) {
        auto raw = static_cast<std::uint32_t>(align_up(resources_->size, h.file_alignment));
        store_section_header(headers, at, resources_->name, static_cast<std::uint32_t>(resources_->size),
                             resources_->rva, raw, static_cast<std::uint32_t>(resources_->offset));
        at += pe_section_header_size;
        added_raw += raw;
        size_t directory = optional + pe_optional_directories + 8 * pe_directory_resource;
        store_u32(headers, directory, resources_->rva);
        store_u32(headers, directory + 4, static_cast<std::uint32_t>(resources_->size));
        if (const pe_section *own = resource_section(h)) {
            store_section_name(headers, h.section_table_offset + (own - h.sections.data()) * pe_section_header_size,
                               replaced_resource_section_name);
        }
    }
    auto raw = static_cast<std::uint32_t>(align_up(block_length, h.file_alignment));
    store_section_header(headers, at, block_.name, static_cast<std::uint32_t>(block_length), block_.rva, raw,
                         static_cast<std::uint32_t>(block_.offset));
    added_raw += raw;

    store_u16(headers, h.coff_offset + coff_section_count, static_cast<std::uint16_t>(h.sections.size() + added));
    store_u32(headers, optional + pe_optional_size_of_initialized_data,
              load_u32(headers, optional + pe_optional_size_of_initialized_data) + added_raw);
    store_u32(headers, optional + pe_optional_size_of_image,
              static_cast<std::uint32_t>(block_.rva + align_up(block_length, h.section_alignment)));
    store_u32(headers, optional + pe_optional_checksum, 0);
    if (options_.subsystem) {
        store_u16(headers, optional + pe_optional_subsystem, *options_.subsystem);
    }
    return headers;
}

void executable_writer::finish(std::uint64_t block_length) {
    check_fits(block_length);
    const pe_headers &h = launcher_.headers;
    write_zeros(out_, align_up(block_length, h.file_alignment) - block_length);

    bytes headers = patched_headers(block_length);
    write_bytes(out_, 0, headers.data(), headers.size());
    bytes record(16);
    store_u64(record, 0, h.image_base + block_.rva);
    store_u64(record, 8, block_length);
    write_bytes(out_, launcher_.record_offset + payload_record_address_offset, record.data(), record.size());
    write_unpack_mode(block_length);
    write_checksum();
    out_.close();
    if (!out_) {
        throw pack_error("cannot write " + path_utf8(path_));
    }
}

// The mode and the template; with the cache the template ends in the
// block's identity, read back from the file as written.
void executable_writer::write_unpack_mode(std::uint64_t block_length) {
    if (!options_.unpack) {
        return;
    }
    out_.flush();
    out_.seekg(static_cast<std::streamoff>(block_.offset));
    block_identity identity;
    std::vector<unsigned char> chunk(copy_chunk);
    for (std::uint64_t left = block_length; left > 0;) {
        auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(left, chunk.size()));
        if (!out_.read(reinterpret_cast<char *>(chunk.data()), n)) {
            throw pack_error("cannot read back " + path_utf8(path_));
        }
        identity.add(chunk.data(), static_cast<size_t>(n));
        left -= static_cast<std::uint64_t>(n);
    }
    std::u16string text = stored_template(*options_.unpack, identity.value());
    bytes record(unpack_mode_record_size - unpack_mode_flags_offset);
    store_u32(record, 0, options_.unpack->cache ? unpack_mode_flag_cache : 0);
    for (size_t i = 0; i < text.size(); i++) {
        store_u16(record, unpack_mode_template_offset - unpack_mode_flags_offset + 2 * i, text[i]);
    }
    write_bytes(out_, *launcher_.mode_record_offset + unpack_mode_flags_offset, record.data(), record.size());
}

// The checksum covers the whole file as written, so it is computed last,
// from the file itself.
void executable_writer::write_checksum() {
    std::uint64_t field = launcher_.headers.optional_offset + pe_optional_checksum;
    out_.flush();
    out_.seekg(0);
    pe_checksum sum(field);
    std::vector<unsigned char> chunk(copy_chunk);
    while (out_.read(reinterpret_cast<char *>(chunk.data()), static_cast<std::streamsize>(chunk.size())) ||
           out_.gcount() > 0) {
        sum.add(chunk.data(), static_cast<size_t>(out_.gcount()));
    }
    out_.clear();
    bytes value(4);
    store_u32(value, 0, sum.value());
    write_bytes(out_, field, value.data(), value.size());
}

/*-**** Checksum ****/

void pe_checksum::add(const unsigned char *data, size_t size) {
    for (size_t i = 0; i < size; i++, position_++) {
        if (position_ - field_ < 4) {
            continue;  // the checksum field itself counts as zero
        }
        sum_ += std::uint64_t{data[i]} << (8 * (position_ & 1));
    }
}

std::uint32_t pe_checksum::value() const {
    std::uint64_t sum = sum_;
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint32_t>(sum + position_);
}

}  // namespace velsor
