// PE images (Windows executables and DLLs), in three steps: the reader
// builds a model of the headers, the sections and the data directories;
// operations change the model; the writer lays the image out and writes it
// once, headers from the model. No other part of the packer stores into a
// PE header.
//
// What is read may be anything a user hands over: every size and offset is
// checked against the file before it is used, and a damaged file is a
// pack_error naming it, never a crash, a hang or a huge allocation.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "pack/base/base.h"

namespace velsor {

inline constexpr std::uint16_t pe_machine_amd64 = 0x8664;
inline constexpr std::uint16_t pe_magic_pe32_plus = 0x20B;
inline constexpr std::uint16_t pe_characteristic_executable = 0x0002;
inline constexpr std::uint16_t pe_characteristic_dll = 0x2000;
inline constexpr std::uint16_t pe_dll_dynamic_base = 0x0040;
inline constexpr std::uint16_t pe_subsystem_gui = 2;
inline constexpr std::uint16_t pe_subsystem_console = 3;
inline constexpr std::uint32_t pe_section_header_size = 40;
inline constexpr std::uint32_t pe_read_only_data = 0x00000040 | 0x40000000;  // initialised data, readable

// Data directory indexes.
inline constexpr size_t pe_directory_export = 0;
inline constexpr size_t pe_directory_import = 1;
inline constexpr size_t pe_directory_resource = 2;
inline constexpr size_t pe_directory_security = 4;
inline constexpr size_t pe_directory_base_relocation = 5;
inline constexpr size_t pe_directory_delay_import = 13;

/*-**** The model ****/

struct pe_section {
    std::string name;                   // up to its first zero byte, e.g. ".qzv"
    std::array<char, 8> name_field{};   // the name as stored, padded with zeros
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
    std::vector<pe_section> sections;

    // File offsets of the COFF header (after "PE\0\0"), the optional header
    // and the section table.
    std::uint32_t coff_offset = 0;
    std::uint32_t optional_offset = 0;
    std::uint16_t optional_size = 0;
    std::uint32_t section_table_offset = 0;
    std::uint64_t file_size = 0;  // of the file the model was read from

    // PE32+ only (zero otherwise; a PE32 file has its export directory only).
    std::uint64_t image_base = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t file_alignment = 0;
    std::uint32_t size_of_initialized_data = 0;
    std::uint32_t size_of_image = 0;
    std::uint32_t size_of_headers = 0;
    std::uint32_t checksum = 0;
    std::uint16_t subsystem = 0;
    std::uint16_t dll_characteristics = 0;
    std::vector<pe_directory> directories;

    // The directory, or an empty one when the file has fewer.
    pe_directory directory(size_t index) const {
        return index < directories.size() ? directories[index] : pe_directory{};
    }
};

/*-**** Reading ****/

// The bytes of a PE file at given offsets, from a file or from memory.
class pe_source {
public:
    explicit pe_source(const std::filesystem::path &file);  // a pack_error when it cannot be read
    pe_source(const bytes &memory, std::string name);       // `memory` must outlive the source

    std::uint64_t size() const { return size_; }
    const std::string &name() const { return name_; }

    // `count` bytes at `offset`; a pack_error when they are not all in the file.
    bytes read(std::uint64_t offset, std::uint64_t count);
    // "<name> is not a valid PE file (<why>)".
    [[noreturn]] void fail(const std::string &why) const;

private:
    std::string name_;
    std::ifstream in_;
    const bytes *memory_ = nullptr;
    std::uint64_t size_ = 0;
};

// True when the file starts like a PE file ("MZ"). Never throws.
bool looks_like_pe(const std::filesystem::path &file);

// The model of a PE file's headers; a pack_error naming the file unless its
// headers and section table lie in it as the format says.
pe_headers read_pe_headers(pe_source &source);
pe_headers read_pe_headers(const std::filesystem::path &file);
pe_headers parse_pe_headers(const bytes &image, const std::string &name);

const pe_section *find_section(const pe_headers &headers, const std::string &name);
// The section whose address range (its virtual or its raw size, the larger)
// holds `rva`.
const pe_section *section_holding(const pe_headers &headers, std::uint32_t rva);

// The file offset of a relative virtual address, through the section that
// holds it in the file; nothing when no section does.
std::optional<std::uint64_t> rva_to_file_offset(const pe_headers &headers, std::uint32_t rva);
std::optional<std::uint32_t> file_offset_to_rva(const pe_headers &headers, std::uint64_t offset);

// A section's bytes as the file holds them (no more than its virtual size
// when it has one); a pack_error when they lie past the end of the file.
bytes read_section(pe_source &source, const pe_section &section);

// The names in the export table, in the table's order.
std::vector<std::string> read_export_names(pe_source &source, const pe_headers &headers);
// The DLLs the import table and then the delay-load import table name, in
// their order, each name once (compared without letter case).
std::vector<std::string> read_imported_dlls(pe_source &source, const pe_headers &headers);
// True when a base relocation moves the 64-bit address at `rva`.
bool has_dir64_relocation(pe_source &source, const pe_headers &headers, std::uint32_t rva);

/*-**** Changing and writing ****/

// A PE file held in memory (a launcher, the runner), to be changed and written.
struct pe_image {
    std::string origin;  // for messages
    bytes file;
    pe_headers headers;
};

pe_image load_pe_image(bytes file, std::string origin);

// Removes a certificate table (a signature), which must end the file: it is
// not mapped, so nothing moves. False when there is one elsewhere.
bool drop_certificate_table(pe_image &image);

// True when `count` more section headers fit after the section table, in
// unused (zero) bytes of the headers, before the first section's data.
bool has_section_header_room(const pe_image &image, size_t count);

// Writes `data` over the image's bytes at `offset`, which must lie in one
// section's data in the file (a record the image holds).
void patch_image(pe_image &image, std::uint64_t offset, const bytes &data);

// The image's bytes, its headers written from its model and the checksum
// computed.
bytes write_pe_image(const pe_image &image);

// Renames a section in the model.
void rename_section(pe_headers &headers, size_t index, const std::string &name);

// A changed copy of an image written to a file: the image's bytes as they
// are, sections added after its own, and last a section whose bytes are
// streamed and whose size is known only at the end. Then the patches, the
// headers from the model and the checksum. Nothing is valid until finish().
class pe_writer {
public:
    pe_writer(const pe_image &image, const std::filesystem::path &out);
    pe_writer(const pe_writer &) = delete;
    pe_writer &operator=(const pe_writer &) = delete;

    // The model of the output, for operations: a directory, the subsystem.
    pe_headers &model() { return model_; }

    // Where the next section goes, and its placing there.
    std::uint32_t next_section_rva() const;
    void add_section(const std::string &name, bytes contents);
    // Lays out the streamed section after the last one.
    const pe_section &add_streamed_section(const std::string &name);

    // Writes the image and the added sections; the stream is left at the
    // streamed section's offset for its bytes. It may be read back too.
    std::iostream &write_sections();
    std::iostream &stream() { return out_; }
    const std::filesystem::path &path() const { return path_; }

    // Bytes to write over the image's own sections at finish() (records).
    void patch(std::uint64_t offset, bytes data);
    // Sizes the streamed section and writes everything that depends on it.
    void finish(std::uint64_t streamed_size);

private:
    const pe_image &image_;
    pe_headers model_;
    std::filesystem::path path_;
    std::fstream out_;
    std::vector<std::pair<std::uint32_t, bytes>> added_;  // RVA and bytes of each added section
    std::vector<std::pair<std::uint64_t, bytes>> patches_;
};

}  // namespace velsor
