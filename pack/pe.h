// Reading the headers of a PE file (a Windows executable or DLL): enough to
// tell a 64-bit DLL from anything else, list its exports, find a section,
// and lay out new sections after the existing ones.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pack/bytes.h"

namespace velsor {

inline constexpr std::uint16_t pe_machine_amd64 = 0x8664;
inline constexpr std::uint16_t pe_magic_pe32_plus = 0x20B;
inline constexpr std::uint16_t pe_characteristic_executable = 0x0002;
inline constexpr std::uint16_t pe_characteristic_dll = 0x2000;
inline constexpr std::uint16_t pe_dll_dynamic_base = 0x0040;
inline constexpr std::uint32_t pe_section_header_size = 40;

// Data directory indexes.
inline constexpr size_t pe_directory_export = 0;
inline constexpr size_t pe_directory_resource = 2;
inline constexpr size_t pe_directory_security = 4;
inline constexpr size_t pe_directory_base_relocation = 5;

// Offsets in the PE32+ optional header.
inline constexpr size_t pe_optional_size_of_initialized_data = 8;
inline constexpr size_t pe_optional_image_base = 24;
inline constexpr size_t pe_optional_size_of_image = 56;
inline constexpr size_t pe_optional_checksum = 64;
inline constexpr size_t pe_optional_subsystem = 68;
inline constexpr size_t pe_optional_directories = 112;

struct pe_section {
    std::string name;  // up to 8 characters, e.g. ".qzv"
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t raw_offset = 0;  // in the file
    std::uint32_t characteristics = 0;
};

struct pe_directory {
    std::uint32_t rva = 0;  // for the security directory: a file offset
    std::uint32_t size = 0;
};

struct pe_headers {
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t optional_magic = 0;
    std::uint32_t export_rva = 0;  // 0: no export table
    std::uint32_t export_size = 0;
    std::vector<pe_section> sections;

    // File offsets of the COFF header (after "PE\0\0"), the optional header
    // and the section table.
    std::uint32_t coff_offset = 0;
    std::uint32_t optional_offset = 0;
    std::uint16_t optional_size = 0;
    std::uint32_t section_table_offset = 0;

    // PE32+ only (zero otherwise).
    std::uint64_t image_base = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t file_alignment = 0;
    std::uint32_t size_of_image = 0;
    std::uint32_t size_of_headers = 0;
    std::uint16_t subsystem = 0;
    std::uint16_t dll_characteristics = 0;
    std::vector<pe_directory> directories;
};

// True when the file starts like a PE file ("MZ"). Never throws.
bool looks_like_pe(const std::filesystem::path &file);

// The headers of `file`; a pack_error naming the file if it is not a
// well-formed PE file.
pe_headers read_pe_headers(const std::filesystem::path &file);

// The same for a PE file held in memory; `name` goes into the messages.
pe_headers parse_pe_headers(const bytes &image, const std::string &name);

// File offsets of every place in the sections' bytes of `image` that holds
// the `size` bytes at `marker`, in file order (a part of a section beyond the
// end of the file is not searched).
std::vector<std::uint64_t> find_in_sections(const bytes &image, const pe_headers &headers, const unsigned char *marker,
                                            size_t size);

const pe_section *find_section(const pe_headers &headers, const std::string &name);

// The file offset of a relative virtual address, through the section that
// holds it in the file; nothing when no section does.
std::optional<std::uint64_t> rva_to_file_offset(const pe_headers &headers, std::uint32_t rva);

// The names in the export table, in the table's order.
std::vector<std::string> read_export_names(const std::filesystem::path &file, const pe_headers &headers);

}  // namespace velsor
