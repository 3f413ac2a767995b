// Checking a launcher before anything is packed with it: the built-in one,
// or a file given with --launcher, which may be anything.
#include "pack/image/image.h"
#include "pack/image/records.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr std::uint64_t largest_launcher = 64u << 20;  // a sanity bound for --launcher files

bool is_power_of_two(std::uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

[[noreturn]] void refuse(const launcher_image &l, const std::string &why) {
    throw pack_error(l.image.origin + " cannot be used as the launcher: " + why);
}

void check_kind(const launcher_image &l) {
    const pe_headers &h = l.image.headers;
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
            std::uint64_t{s.raw_offset} + s.raw_size > l.image.file.size()) {
            refuse(l, "section " + s.name + " lies outside the image or the file");
        }
    }
}

// A signature covers the file as it is; once the block is added it would
// only tell Windows that the file was tampered with.
void drop_signature(launcher_image &l) {
    bool signed_file = l.image.headers.directory(pe_directory_security).size != 0;
    if (!drop_certificate_table(l.image)) {
        refuse(l, "its certificate table is not at the end of the file");
    }
    l.signature_dropped = signed_file;
}

// The block record is the one place in the sections' bytes that holds its
// marker; unfilled, its address field points at itself and its length is 0.
void find_block_record(launcher_image &l) {
    const bytes &file = l.image.file;
    std::vector<std::uint64_t> found = find_records(file, l.image.headers, block_record);
    if (found.empty()) {
        refuse(l, "it has no block record (is it a velsor launcher?)");
    }
    if (found.size() > 1) {
        refuse(l, "it has " + std::to_string(found.size()) + " block records");
    }
    l.record_offset = found.front();
    l.record_rva = file_offset_to_rva(l.image.headers, l.record_offset).value_or(0);
    if (l.record_offset + payload_record_size > file.size()) {
        refuse(l, "its block record is cut short");
    }
    std::uint64_t address = load_u64(file, l.record_offset + payload_record_address_offset);
    std::uint64_t length = load_u64(file, l.record_offset + payload_record_length_offset);
    if (address != l.image.headers.image_base + l.record_rva || length != 0) {
        refuse(l, "it already holds a payload block (it is a packed executable)");
    }
}

// The modes variant has one unfilled unpack mode record; the default one none.
void find_mode_record(launcher_image &l) {
    std::vector<std::uint64_t> found = find_records(l.image.file, l.image.headers, mode_record);
    if (found.empty()) {
        return;
    }
    if (found.size() > 1) {
        refuse(l, "it has more than one unpack mode record");
    }
    std::uint64_t offset = found.front();
    if (offset + unpack_mode_record_size > l.image.file.size()) {
        refuse(l, "its unpack mode record is cut short");
    }
    if (!record_unfilled(l.image.file, offset + unpack_mode_flags_offset,
                         unpack_mode_record_size - unpack_mode_flags_offset)) {
        refuse(l, "its unpack mode record is already filled in (it is a packed executable)");
    }
    l.mode_record_offset = offset;
}

// When the image may be loaded anywhere (ASLR), the loader must move the
// record's address with it: the launcher's base relocations must cover it.
void check_record_relocation(const launcher_image &l) {
    if ((l.image.headers.dll_characteristics & pe_dll_dynamic_base) == 0) {
        return;
    }
    pe_source source(l.image.file, l.image.origin);
    if (!has_dir64_relocation(source, l.image.headers, l.record_rva + payload_record_address_offset)) {
        refuse(l, "its block record has no base relocation, so it would break under ASLR");
    }
}

}  // namespace

launcher_image load_launcher(bytes file, std::string origin) {
    launcher_image l;
    l.image = load_pe_image(std::move(file), std::move(origin));
    check_kind(l);
    drop_signature(l);
    find_block_record(l);
    find_mode_record(l);
    check_record_relocation(l);
    if (!has_section_header_room(l.image, 1)) {
        refuse(l, "its headers have no room for one more section header");
    }
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

}  // namespace velsor
