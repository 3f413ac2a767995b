// PE headers, section table and export names, read with bounds checks: the
// file is user input and may be anything.
#include "pack/pe.h"

#include <algorithm>
#include <fstream>

#include "pack/error.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

constexpr std::uint32_t dos_new_header_offset = 0x3C;  // e_lfanew
constexpr std::uint32_t coff_header_size = 20;
constexpr std::uint32_t section_header_size = 40;
constexpr std::uint32_t pe32_plus_directory_count_offset = 108;  // NumberOfRvaAndSizes
constexpr std::uint32_t pe32_plus_directories_offset = 112;
constexpr std::uint32_t pe32_directory_count_offset = 92;
constexpr std::uint32_t pe32_directories_offset = 96;
constexpr std::uint32_t export_directory_size = 40;
constexpr std::uint32_t max_export_names = 1 << 20;  // a sanity bound, not a format limit
constexpr size_t max_export_name_length = 4096;

// A file read at given offsets; every read past its end names the file.
class pe_file {
public:
    explicit pe_file(const fs::path &path) : path_(path), in_(path, std::ios::binary) {
        std::error_code error;
        size_ = fs::file_size(path, error);
        if (!in_ || error) {
            throw pack_error("cannot read " + path.string());
        }
    }

    std::vector<unsigned char> read(std::uint64_t offset, std::uint64_t count) {
        if (offset > size_ || count > size_ - offset) {
            fail("truncated");
        }
        std::vector<unsigned char> bytes(static_cast<size_t>(count));
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(count));
        if (static_cast<std::uint64_t>(in_.gcount()) != count) {
            fail("cannot be read");
        }
        return bytes;
    }

    [[noreturn]] void fail(const std::string &why) const {
        throw pack_error(path_.string() + " is not a valid PE file (" + why + ")");
    }

private:
    fs::path path_;
    std::ifstream in_;
    std::uint64_t size_ = 0;
};

std::uint16_t u16_at(const std::vector<unsigned char> &b, size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t u32_at(const std::vector<unsigned char> &b, size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

pe_section parse_section(const std::vector<unsigned char> &table, size_t at) {
    pe_section s;
    const char *name = reinterpret_cast<const char *>(&table[at]);
    s.name.assign(name, std::find(name, name + 8, '\0'));
    s.virtual_size = u32_at(table, at + 8);
    s.virtual_address = u32_at(table, at + 12);
    s.raw_size = u32_at(table, at + 16);
    s.raw_offset = u32_at(table, at + 20);
    return s;
}

// The file offset of a relative virtual address, through the section that
// holds it in the file.
std::uint64_t rva_to_offset(pe_file &file, const pe_headers &headers, std::uint32_t rva) {
    for (const auto &s : headers.sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
            return static_cast<std::uint64_t>(s.raw_offset) + (rva - s.virtual_address);
        }
    }
    file.fail("address outside every section");
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
    auto dos = file.read(0, dos_new_header_offset + 4);
    if (dos[0] != 'M' || dos[1] != 'Z') {
        file.fail("no MZ header");
    }
    std::uint32_t pe_at = u32_at(dos, dos_new_header_offset);
    auto coff = file.read(pe_at, 4 + coff_header_size);
    if (coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 || coff[3] != 0) {
        file.fail("no PE signature");
    }
    pe_headers h;
    h.machine = u16_at(coff, 4);
    std::uint16_t section_count = u16_at(coff, 6);
    std::uint16_t optional_size = u16_at(coff, 20);
    h.characteristics = u16_at(coff, 22);

    std::uint64_t optional_at = static_cast<std::uint64_t>(pe_at) + 4 + coff_header_size;
    auto optional = file.read(optional_at, optional_size);
    if (optional_size < 2) {
        file.fail("no optional header");
    }
    h.optional_magic = u16_at(optional, 0);
    bool plus = h.optional_magic == pe_magic_pe32_plus;
    size_t count_at = plus ? pe32_plus_directory_count_offset : pe32_directory_count_offset;
    size_t directories_at = plus ? pe32_plus_directories_offset : pe32_directories_offset;
    if (optional.size() >= directories_at + 8 && u32_at(optional, count_at) >= 1) {
        h.export_rva = u32_at(optional, directories_at);
        h.export_size = u32_at(optional, directories_at + 4);
    }

    auto table = file.read(optional_at + optional_size, std::uint64_t{section_count} * section_header_size);
    for (size_t i = 0; i < section_count; i++) {
        h.sections.push_back(parse_section(table, i * section_header_size));
    }
    return h;
}

const pe_section *find_section(const pe_headers &headers, const std::string &name) {
    for (const auto &s : headers.sections) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

std::vector<std::string> read_export_names(const fs::path &path, const pe_headers &headers) {
    if (headers.export_rva == 0) {
        return {};
    }
    pe_file file(path);
    auto directory = file.read(rva_to_offset(file, headers, headers.export_rva), export_directory_size);
    std::uint32_t name_count = u32_at(directory, 24);
    std::uint32_t names_rva = u32_at(directory, 32);
    if (name_count > max_export_names) {
        file.fail("implausible export count");
    }
    std::vector<std::string> names;
    if (name_count == 0) {
        return names;
    }
    auto name_rvas = file.read(rva_to_offset(file, headers, names_rva), std::uint64_t{name_count} * 4);
    for (size_t i = 0; i < name_count; i++) {
        names.push_back(read_name_at(file, rva_to_offset(file, headers, u32_at(name_rvas, i * 4))));
    }
    return names;
}

}  // namespace velsor
