// The reader: a PE file's headers and section table, read into the model
// with every offset and size checked against the file.
#include <algorithm>

#include "pack/pe/pe.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr std::uint32_t dos_header_size = 0x40;
constexpr std::uint32_t dos_new_header_offset = 0x3C;  // e_lfanew
constexpr std::uint32_t coff_header_size = 20;
constexpr std::uint32_t pe32_plus_directory_count_offset = 108;  // NumberOfRvaAndSizes
constexpr std::uint32_t pe32_directory_count_offset = 92;
constexpr std::uint32_t pe32_directories_offset = 96;
constexpr std::uint32_t pe32_plus_fixed_size = 112;  // the optional header before its directories
constexpr std::uint32_t pe32_plus_directories_offset = 112;
constexpr std::uint32_t max_directories = 16;

pe_section parse_section(const bytes &table, size_t at) {
    pe_section s;
    std::copy(table.begin() + at, table.begin() + at + 8, s.name_field.begin());
    s.name.assign(s.name_field.data(), std::find(s.name_field.begin(), s.name_field.end(), '\0'));
    s.virtual_size = load_u32(table, at + 8);
    s.virtual_address = load_u32(table, at + 12);
    s.raw_size = load_u32(table, at + 16);
    s.raw_offset = load_u32(table, at + 20);
    s.characteristics = load_u32(table, at + 36);
    return s;
}

// The PE32+ fields the packer uses or writes.
void parse_pe32_plus(pe_source &file, const bytes &optional, pe_headers &h) {
    if (optional.size() < pe32_plus_fixed_size) {
        file.fail("optional header too short");
    }
    h.size_of_initialized_data = load_u32(optional, 8);
    h.image_base = load_u64(optional, 24);
    h.section_alignment = load_u32(optional, 32);
    h.file_alignment = load_u32(optional, 36);
    h.size_of_image = load_u32(optional, 56);
    h.size_of_headers = load_u32(optional, 60);
    h.checksum = load_u32(optional, 64);
    h.subsystem = load_u16(optional, 68);
    h.dll_characteristics = load_u16(optional, 70);
    std::uint32_t count = std::min(load_u32(optional, pe32_plus_directory_count_offset), max_directories);
    if (optional.size() < pe32_plus_directories_offset + std::uint64_t{count} * 8) {
        file.fail("optional header too short for its data directories");
    }
    for (std::uint32_t i = 0; i < count; i++) {
        size_t at = pe32_plus_directories_offset + i * 8;
        h.directories.push_back(pe_directory{load_u32(optional, at), load_u32(optional, at + 4)});
    }
}

}  // namespace

/*-**** Source ****/

pe_source::pe_source(const fs::path &path) : name_(path_utf8(path)), in_(path, std::ios::binary) {
    std::error_code error;
    size_ = fs::file_size(path, error);
    if (!in_ || error) {
        throw pack_error("cannot read " + name_);
    }
}

pe_source::pe_source(const bytes &memory, std::string name)
    : name_(std::move(name)), memory_(&memory), size_(memory.size()) {}

bytes pe_source::read(std::uint64_t offset, std::uint64_t count) {
    if (offset > size_ || count > size_ - offset) {
        fail("truncated");
    }
    if (memory_ != nullptr) {
        auto from = memory_->begin() + static_cast<std::ptrdiff_t>(offset);
        return bytes(from, from + static_cast<std::ptrdiff_t>(count));
    }
    bytes data(static_cast<size_t>(count));
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(count));
    if (static_cast<std::uint64_t>(in_.gcount()) != count) {
        fail("cannot be read");
    }
    return data;
}

void pe_source::fail(const std::string &why) const { throw pack_error(name_ + " is not a valid PE file (" + why + ")"); }

/*-**** Headers ****/

bool looks_like_pe(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    char magic[2] = {};
    return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

pe_headers read_pe_headers(pe_source &file) {
    auto dos = file.read(0, dos_header_size);
    if (dos[0] != 'M' || dos[1] != 'Z') {
        file.fail("no MZ header");
    }
    std::uint32_t pe_at = load_u32(dos, dos_new_header_offset);
    auto coff = file.read(pe_at, 4 + coff_header_size);
    if (coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 || coff[3] != 0) {
        file.fail("no PE signature");
    }
    pe_headers h;
    h.file_size = file.size();
    h.coff_offset = pe_at + 4;
    h.machine = load_u16(coff, 4);
    std::uint16_t section_count = load_u16(coff, 6);
    h.optional_size = load_u16(coff, 20);
    h.characteristics = load_u16(coff, 22);

    std::uint64_t optional_at = std::uint64_t{h.coff_offset} + coff_header_size;
    auto optional = file.read(optional_at, h.optional_size);
    if (h.optional_size < 2) {
        file.fail("no optional header");
    }
    h.optional_offset = static_cast<std::uint32_t>(optional_at);
    h.optional_magic = load_u16(optional, 0);
    if (h.optional_magic == pe_magic_pe32_plus) {
        parse_pe32_plus(file, optional, h);
    } else if (optional.size() >= pe32_directories_offset + 8 && load_u32(optional, pe32_directory_count_offset) >= 1) {
        h.directories.push_back(pe_directory{load_u32(optional, pe32_directories_offset),
                                             load_u32(optional, pe32_directories_offset + 4)});
    }

    h.section_table_offset = static_cast<std::uint32_t>(optional_at + h.optional_size);
    auto table = file.read(h.section_table_offset, std::uint64_t{section_count} * pe_section_header_size);
    for (size_t i = 0; i < section_count; i++) {
        h.sections.push_back(parse_section(table, i * pe_section_header_size));
    }
    return h;
}

pe_headers read_pe_headers(const fs::path &path) {
    pe_source file(path);
    return read_pe_headers(file);
}

pe_headers parse_pe_headers(const bytes &image, const std::string &name) {
    pe_source file(image, name);
    return read_pe_headers(file);
}

/*-**** Addresses and sections ****/

const pe_section *find_section(const pe_headers &headers, const std::string &name) {
    for (const auto &s : headers.sections) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

const pe_section *section_holding(const pe_headers &headers, std::uint32_t rva) {
    for (const auto &s : headers.sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < std::max(s.virtual_size, s.raw_size)) {
            return &s;
        }
    }
    return nullptr;
}

std::optional<std::uint64_t> rva_to_file_offset(const pe_headers &headers, std::uint32_t rva) {
    for (const auto &s : headers.sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
            return static_cast<std::uint64_t>(s.raw_offset) + (rva - s.virtual_address);
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> file_offset_to_rva(const pe_headers &headers, std::uint64_t offset) {
    for (const auto &s : headers.sections) {
        if (offset >= s.raw_offset && offset - s.raw_offset < s.raw_size) {
            return static_cast<std::uint32_t>(s.virtual_address + (offset - s.raw_offset));
        }
    }
    return std::nullopt;
}

bytes read_section(pe_source &source, const pe_section &s) {
    std::uint32_t size = s.virtual_size != 0 ? std::min(s.virtual_size, s.raw_size) : s.raw_size;
    if (s.raw_offset > source.size() || size > source.size() - s.raw_offset) {
        source.fail("section " + s.name + " lies past the end of the file");
    }
    return source.read(s.raw_offset, size);
}

}  // namespace velsor
