// Writing a packed executable: the prebuilt launcher with the payload block
// added as a read-only section of its own after the launcher's sections.
//
// The launcher is used as it was linked: none of its sections moves and
// none of their bytes changes except the block record, which gets the
// block's address and length. The headers gain the new section and keep
// every other field right (section count, SizeOfImage,
// SizeOfInitializedData, the checksum); the DLL characteristics (ASLR,
// high-entropy addresses, DEP) stay as the launcher has them. No time stamp
// or random value goes in, so the same launcher and block give the same
// bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "pack/bytes.h"
#include "pack/pe.h"
#include "pack/resources.h"
#include "pack/unpack_mode.h"

namespace velsor {

// The largest image the Windows loader maps: the NT memory manager refuses
// an image whose SizeOfImage is 0x77000000 bytes or more (its image header
// check, MM_SIZE_OF_LARGEST_IMAGE, 1,996,488,704 bytes); such a file only
// gets "not a valid Win32 application". The packer stays below it.
inline constexpr std::uint64_t largest_image_size = 0x77000000;

inline constexpr std::uint32_t pe_subsystem_gui = 2;
inline constexpr std::uint32_t pe_subsystem_console = 3;

// A launcher executable, checked and ready to be packed.
struct launcher_image {
    std::string origin;  // "the built-in launcher" or the file's path, for messages
    bytes file;          // the launcher's bytes, less a certificate table
    pe_headers headers;
    std::uint64_t record_offset = 0;  // file offset of the block record
    std::uint32_t record_rva = 0;     // and its address relative to the image base
    bool signature_dropped = false;   // it was signed; the signature cannot survive packing
    std::optional<std::uint64_t> mode_record_offset;  // the unpack mode record, in the modes variant
};

// Checks a launcher: a pack_error unless `file` is a 64-bit PE executable
// with one unfilled block record (relocated when the image can move) and
// room for one more section header.
launcher_image load_launcher(bytes file, std::string origin);
launcher_image read_launcher(const std::filesystem::path &file);

// The launcher that velsor-pack carries inside itself (defined with the
// packer's main program).
launcher_image builtin_launcher();
// The same launcher with the unpack modes (velsor-launcher-modes.exe).
launcher_image builtin_modes_launcher();

struct executable_options {
    std::optional<std::uint16_t> subsystem;  // the launcher's own when not set
    // Resources to add (an icon group and its icons, a version resource).
    // When there are any, the executable gets a resource section of its own,
    // placed before the block, holding the launcher's resources (its
    // manifest) and these, and nothing else; the launcher's own resource
    // section stays where it is, renamed, and is no longer referenced.
    std::vector<resource> resources;
    // --cache and --unpack-dir, written into the unpack mode record.
    std::optional<unpack_mode> unpack;
};

// The name the launcher's own resource section gets once it is replaced.
inline constexpr char replaced_resource_section_name[] = ".rsrcold";

// Writes a packed executable to `out` in one pass: the launcher, then the
// block through block_stream() (written by the caller, whose length is only
// known at the end), then finish() fixes up the headers, the record and the
// checksum. Nothing is valid until finish() has returned.
class executable_writer {
public:
    executable_writer(const launcher_image &launcher, const std::filesystem::path &out,
                      const executable_options &options);
    executable_writer(const executable_writer &) = delete;
    executable_writer &operator=(const executable_writer &) = delete;

    // A pack_error when a block of this length would make an image too
    // large for the loader, or a file too large for the PE format.
    void check_fits(std::uint64_t block_length) const;

    std::ostream &block_stream() { return out_; }
    void finish(std::uint64_t block_length);

private:
    // A section the packer adds after the launcher's.
    struct added_section {
        std::string name;
        std::uint32_t rva = 0;
        std::uint64_t offset = 0;
        std::uint64_t size = 0;  // VirtualSize
    };

    void lay_out_resources();
    bytes patched_headers(std::uint64_t block_length) const;
    void write_checksum();
    void write_unpack_mode(std::uint64_t block_length);

    const launcher_image &launcher_;
    executable_options options_;
    std::filesystem::path path_;
    std::fstream out_;
    std::optional<added_section> resources_;
    bytes resource_bytes_;
    added_section block_;
};

// PE checksum of a file's bytes: 16-bit one's-complement sum of its words
// with the checksum field counted as zero, plus the file's length.
class pe_checksum {
public:
    explicit pe_checksum(std::uint64_t checksum_offset) : field_(checksum_offset) {}
    void add(const unsigned char *data, size_t size);  // the file's bytes, in order
    std::uint32_t value() const;

private:
    std::uint64_t field_;
    std::uint64_t position_ = 0;
    std::uint64_t sum_ = 0;
};

}  // namespace velsor
