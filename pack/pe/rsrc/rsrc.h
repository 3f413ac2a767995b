// Windows resources as bytes: the icon group and icons from a .ico file, the
// version resource, and the resource section (.rsrc) that holds them, read
// and written without any Windows call.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pack/pe/pe.h"

namespace velsor {

inline constexpr std::uint16_t rt_icon = 3;
inline constexpr std::uint16_t rt_group_icon = 14;
inline constexpr std::uint16_t rt_version = 16;
inline constexpr std::uint16_t rt_manifest = 24;
inline constexpr std::uint16_t language_en_us = 1033;  // the language of every resource velsor adds

// One leaf of the resource tree: type, name and language are numbers
// (resources named by strings are not used here).
struct resource {
    std::uint16_t type = 0;      // rt_icon, rt_group_icon, rt_version, rt_manifest, ...
    std::uint16_t id = 0;
    std::uint16_t language = 0;  // e.g. language_en_us
    std::vector<unsigned char> data;
};

// The images of the icon file `ico` as RT_ICON resources with ids 1 to n, in
// the file's order, followed by the RT_GROUP_ICON resource with id 1 that
// lists them; all in language_en_us. Every image is checked against its
// directory entry (bounds, PNG or bitmap header, dimensions, sizes); a
// pack_error naming the file and the image says what is wrong.
std::vector<resource> icon_resources(const std::filesystem::path &ico);

// "A.B.C.D", four decimal numbers from 0 to 65535; a pack_error naming
// --version otherwise.
std::array<std::uint16_t, 4> parse_version_number(const std::string &text);

// The texts of the version resource, in UTF-8. A missing or empty string is
// left out of the resource.
struct version_strings {
    std::optional<std::string> product;      // ProductName, from --product
    std::optional<std::string> company;      // CompanyName, from --company
    std::optional<std::string> description;  // FileDescription, from --description
    std::optional<std::string> copyright;    // LegalCopyright, from --copyright
    std::string original_filename;           // OriginalFilename, e.g. "app.exe"
    std::string internal_name;               // InternalName, e.g. "app"
};

// The RT_VERSION resource (id 1, language_en_us): VS_VERSIONINFO with the
// fixed file and product version `version`, one US English Unicode string
// table (FileVersion and ProductVersion "A.B.C.D", then the given strings)
// and its translation entry. A pack_error when a string is not valid UTF-8,
// holds a control character, or the strings do not fit the resource's 16-bit
// lengths.
resource version_resource(const std::array<std::uint16_t, 4> &version, const version_strings &strings);

// The bytes of a resource section that holds `resources` and nothing else:
// directory tables (type, name, language; TimeDateStamp 0), data entries and
// the data, each 8-byte aligned, with data addresses relative to the image
// base for a section placed at `section_rva`. Entries are sorted by number
// at each level, as the loader's binary search needs. A pack_error for two
// resources of the same type, id and language, or a section past 2 GiB.
std::vector<unsigned char> build_resource_section(std::vector<resource> resources, std::uint32_t section_rva);

// What reading an existing tree does with a resource, type or language
// named by a string, which velsor cannot carry over: refuse the section, or
// leave those entries out.
enum class resource_names { refuse_named, skip_named };

// The leaves of an existing resource section, given its bytes and the RVA it
// is loaded at, in the tree's order. The bytes may be anything: a damaged
// tree (out of bounds, shared or looping tables, data outside the section)
// or (unless skipped) a resource named by a string is a pack_error whose
// message starts with `origin` (the file the section came from).
std::vector<resource> read_resource_section(const std::vector<unsigned char> &section, std::uint32_t section_rva,
                                            const std::string &origin,
                                            resource_names names = resource_names::refuse_named);

// The leaves of a PE file's resource tree (read as above); nothing when it
// has none.
std::vector<resource> read_resources(pe_source &file, const pe_headers &headers,
                                     resource_names names = resource_names::refuse_named);
// The section that holds the resource directory, if any.
const pe_section *resource_section(const pe_headers &headers);

// The program's icon (its first icon group, named by a number, with the
// icons it lists) and its version resources, as they are in its resource
// section; either may be empty. A resource named by a string is left out.
struct program_resources {
    std::vector<resource> icon;
    std::vector<resource> version;
};
program_resources read_program_resources(pe_source &file, const pe_headers &headers);

// The layout of the resource tree, for its reader and its writer.
namespace rsrc_layout {
inline constexpr size_t directory_header_size = 16;  // IMAGE_RESOURCE_DIRECTORY
inline constexpr size_t directory_entry_size = 8;    // IMAGE_RESOURCE_DIRECTORY_ENTRY
inline constexpr size_t data_entry_size = 16;        // IMAGE_RESOURCE_DATA_ENTRY
inline constexpr size_t data_alignment = 8;
inline constexpr std::uint32_t entry_is_directory = 0x80000000;  // in an entry's offset
inline constexpr std::uint32_t entry_is_named = 0x80000000;      // in an entry's name
inline constexpr std::uint32_t max_section_size = 0x7FFFFFFF;    // offsets keep their high bit clear
inline constexpr int tree_levels = 3;                            // type, name, language
}  // namespace rsrc_layout

}  // namespace velsor
