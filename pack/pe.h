// Reading the headers of a PE file (a Windows executable or DLL): enough to
// tell a 64-bit DLL from anything else, list its exports, and find a section.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velsor {

inline constexpr std::uint16_t pe_machine_amd64 = 0x8664;
inline constexpr std::uint16_t pe_magic_pe32_plus = 0x20B;
inline constexpr std::uint16_t pe_characteristic_dll = 0x2000;

struct pe_section {
    std::string name;  // up to 8 characters, e.g. ".qzv"
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t raw_offset = 0;  // in the file
};

struct pe_headers {
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t optional_magic = 0;
    std::uint32_t export_rva = 0;  // 0: no export table
    std::uint32_t export_size = 0;
    std::vector<pe_section> sections;
};

// True when the file starts like a PE file ("MZ"). Never throws.
bool looks_like_pe(const std::filesystem::path &file);

// The headers of `file`; a pack_error naming the file if it is not a
// well-formed PE file.
pe_headers read_pe_headers(const std::filesystem::path &file);

const pe_section *find_section(const pe_headers &headers, const std::string &name);

// The names in the export table, in the table's order.
std::vector<std::string> read_export_names(const std::filesystem::path &file, const pe_headers &headers);

}  // namespace velsor
