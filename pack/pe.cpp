// PE headers, section table and export names, read with bounds checks: the
// file is user input and may be anything.
#include "pack/pe.h"

#include <algorithm>
#include <fstream>
#include <functional>

#include "pack/error.h"
#include "pack/utf16.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr std::uint32_t dos_new_header_offset = 0x3C;  // e_lfanew
constexpr std::uint32_t coff_header_size = 20;
constexpr std::uint32_t pe32_plus_directory_count_offset = 108;  // NumberOfRvaAndSizes
constexpr std::uint32_t pe32_directory_count_offset = 92;
constexpr std::uint32_t pe32_directories_offset = 96;
constexpr std::uint32_t pe32_plus_fixed_size = 112;  // the optional header before its directories
constexpr std::uint32_t max_directories = 16;
constexpr std::uint32_t export_directory_size = 40;
constexpr std::uint32_t max_export_names = 1 << 20;  // a sanity bound, not a format limit
constexpr size_t max_export_name_length = 4096;

// PE bytes read at given offsets, from a file or from memory; every read
// past the end names the file.
class pe_file {
public:
    explicit pe_file(const fs::path &path) : name_(path_utf8(path)), in_(path, std::ios::binary) {
        std::error_code error;
        size_ = fs::file_size(path, error);
        if (!in_ || error) {
            throw pack_error("cannot read " + name_);
        }
    }

    pe_file(const bytes &memory, std::string name) : name_(std::move(name)), memory_(&memory), size_(memory.size()) {}

    bytes read(std::uint64_t offset, std::uint64_t count) {
        if (offset > size_ || count > size_ - offset) {
            fail("truncated");
        }
        if (memory_ != nullptr) {
            auto from = memory_->begin() + static_cast<std::ptrdiff_t>(offset);
            return bytes(from, from + static_cast<std::ptrdiff_t>(count));
        }
        bytes data(static_cast<size_t>(count));
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(count));
        if (static_cast<std::uint64_t>(in_.gcount()) != count) {
            fail("cannot be read");
        }
        return data;
    }

    [[noreturn]] void fail(const std::string &why) const {
        throw pack_error(name_ + " is not a valid PE file (" + why + ")");
    }

private:
    std::string name_;
    std::ifstream in_;
    const bytes *memory_ = nullptr;
    std::uint64_t size_ = 0;
};

pe_section parse_section(const bytes &table, size_t at) {
    pe_section s;
    const char *name = reinterpret_cast<const char *>(&table[at]);
    s.name.assign(name, std::find(name, name + 8, '\0'));
    s.virtual_size = load_u32(table, at + 8);
    s.virtual_address = load_u32(table, at + 12);
    s.raw_size = load_u32(table, at + 16);
    s.raw_offset = load_u32(table, at + 20);
    s.characteristics = load_u32(table, at + 36);
    return s;
}

// The PE32+ fields that laying out new sections needs.
void parse_pe32_plus(pe_file &file, const bytes &optional, pe_headers &h) {
    if (optional.size() < pe32_plus_fixed_size) {
        file.fail("optional header too short");
    }
    h.image_base = load_u64(optional, pe_optional_image_base);
    h.section_alignment = load_u32(optional, 32);
    h.file_alignment = load_u32(optional, 36);
    h.size_of_image = load_u32(optional, pe_optional_size_of_image);
    h.size_of_headers = load_u32(optional, 60);
    h.subsystem = load_u16(optional, pe_optional_subsystem);
    h.dll_characteristics = load_u16(optional, 70);
    std::uint32_t count = std::min(load_u32(optional, pe32_plus_directory_count_offset), max_directories);
    if (optional.size() < pe_optional_directories + std::uint64_t{count} * 8) {
        file.fail("optional header too short for its data directories");
    }
    for (std::uint32_t i = 0; i < count; i++) {
        size_t at = pe_optional_directories + i * 8;
        h.directories.push_back(pe_directory{load_u32(optional, at), load_u32(optional, at + 4)});
    }
}

pe_headers parse(pe_file &file) {
    auto dos = file.read(0, dos_new_header_offset + 4);
    if (dos[0] != 'M' || dos[1] != 'Z') {
        file.fail("no MZ header");
    }
    std::uint32_t pe_at = load_u32(dos, dos_new_header_offset);
    auto coff = file.read(pe_at, 4 + coff_header_size);
    if (coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 || coff[3] != 0) {
        file.fail("no PE signature");
    }
    pe_headers h;
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
    if (!h.directories.empty()) {
        h.export_rva = h.directories[pe_directory_export].rva;
        h.export_size = h.directories[pe_directory_export].size;
    }

    h.section_table_offset = static_cast<std::uint32_t>(optional_at + h.optional_size);
    auto table = file.read(h.section_table_offset, std::uint64_t{section_count} * pe_section_header_size);
    for (size_t i = 0; i < section_count; i++) {
        h.sections.push_back(parse_section(table, i * pe_section_header_size));
    }
    return h;
}

std::uint64_t offset_or_fail(pe_file &file, const pe_headers &headers, std::uint32_t rva) {
    auto offset = rva_to_file_offset(headers, rva);
    if (!offset) {
        file.fail("address outside every section");
    }
    return *offset;
}

std::string read_name_at(pe_file &file, std::uint64_t offset) {
    std::string name;
    while (name.size() < max_export_name_length) {
        unsigned char c = file.read(offset + name.size(), 1)[0];
        if (c == 0) {
            return name;
        }
        name.push_back(static_cast<char>(c));
    }
    file.fail("export name too long");
}

}  // namespace

bool looks_like_pe(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    char magic[2] = {};
    return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

pe_headers read_pe_headers(const fs::path &path) {
    pe_file file(path);
    return parse(file);
}

pe_headers parse_pe_headers(const bytes &image, const std::string &name) {
    pe_file file(image, name);
    return parse(file);
}

const pe_section *find_section(const pe_headers &headers, const std::string &name) {
    for (const auto &s : headers.sections) {
        if (s.name == name) {
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

std::vector<std::string> read_export_names(const fs::path &path, const pe_headers &headers) {
    if (headers.export_rva == 0) {
        return {};
    }
    pe_file file(path);
    auto directory = file.read(offset_or_fail(file, headers, headers.export_rva), export_directory_size);
    std::uint32_t name_count = load_u32(directory, 24);
    std::uint32_t names_rva = load_u32(directory, 32);
    if (name_count > max_export_names) {
        file.fail("implausible export count");
    }
    std::vector<std::string> names;
    if (name_count == 0) {
        return names;
    }
    auto name_rvas = file.read(offset_or_fail(file, headers, names_rva), std::uint64_t{name_count} * 4);
    for (size_t i = 0; i < name_count; i++) {
        names.push_back(read_name_at(file, offset_or_fail(file, headers, load_u32(name_rvas, i * 4))));
    }
    return names;
}

std::vector<std::uint64_t> find_in_sections(const bytes &image, const pe_headers &headers, const unsigned char *marker,
                                            size_t size) {
    std::vector<std::uint64_t> found;
    std::boyer_moore_searcher searcher(marker, marker + size);
    for (const auto &s : headers.sections) {
        auto from = image.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(s.raw_offset, image.size()));
        auto to = image.begin() +
                  static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(std::uint64_t{s.raw_offset} + s.raw_size, image.size()));
        for (auto at = std::search(from, to, searcher); at != to; at = std::search(at + 1, to, searcher)) {
            found.push_back(static_cast<std::uint64_t>(at - image.begin()));
        }
    }
    return found;
}

}  // namespace velsor
