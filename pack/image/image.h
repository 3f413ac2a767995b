// velsor's own parts of a packed executable: the launcher it is made from,
// the records velsor fills in there (where the block is, the unpack modes),
// the runner DLL that starts an existing program, and the block found again
// in a packed file.
//
// The launcher is used as it was linked: none of its sections moves and
// none of their bytes changes except its records. The headers gain the new
// sections and keep every other field right (section count, SizeOfImage,
// SizeOfInitializedData, the checksum); the DLL characteristics (ASLR,
// high-entropy addresses, DEP) stay as the launcher has them. No time stamp
// or random value goes in, so the same launcher and block give the same
// bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "pack/archive/archive.h"
#include "pack/pe/pe.h"
#include "pack/pe/rsrc/rsrc.h"

namespace velsor {

// The largest image the Windows loader maps: the NT memory manager refuses
// an image whose SizeOfImage is 0x77000000 bytes or more (its image header
// check, MM_SIZE_OF_LARGEST_IMAGE, 1,996,488,704 bytes); such a file only
// gets "not a valid Win32 application". The packer stays below it.
inline constexpr std::uint64_t largest_image_size = 0x77000000;

/*-**** Unpack modes ****/

// --unpack-dir TEMPLATE, the path template of the unpacked directory, and
// --cache, a directory that stays between runs. Only the launcher variant
// with the unpack mode record (velsor-launcher-modes.exe) honours them.
struct unpack_mode {
    bool cache = false;
    // The template as stored, backslashes only. With the cache it is the
    // base directory, and the block's 16-digit identity is appended.
    std::u16string path_template;
};

// Checks --unpack-dir and --cache; a pack_error (one line) for a template
// with an unknown placeholder, one that does not start at an absolute place,
// one without {RANDOM} (no cache) or with a per-run placeholder (cache), or
// one that would not fit the record. Forward slashes become backslashes.
// `program_name` is the output's base name, for the default cache place.
unpack_mode checked_unpack_mode(const std::optional<std::string> &unpack_dir, bool cache,
                                const std::string &program_name);

// The template stored in the record, given the block's identity.
std::u16string stored_template(const unpack_mode &mode, std::uint64_t block_identity);

// The block's identity: 64-bit FNV-1a over its bytes, fed in order.
class block_identity {
public:
    void add(const unsigned char *data, size_t size);
    std::uint64_t value() const { return hash_; }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ull;
};

/*-**** The launcher ****/

// A launcher executable, checked and ready to be packed.
struct launcher_image {
    pe_image image;                   // less a certificate table; image.origin names it in messages
    std::uint64_t record_offset = 0;  // file offset of the block record
    std::uint32_t record_rva = 0;     // and its address relative to the image base
    bool signature_dropped = false;   // it was signed; the signature cannot survive packing
    std::optional<std::uint64_t> mode_record_offset;  // the unpack mode record, in the modes variant
};

// Checks a launcher: a pack_error unless `file` is a 64-bit PE executable
// with one unfilled block record (relocated when the image can move) and
// room for one more section header. `origin` is "the built-in launcher" or
// the file's path.
launcher_image load_launcher(bytes file, std::string origin);
launcher_image read_launcher(const std::filesystem::path &file);

// The launcher that velsor-pack carries inside itself, and the same with the
// unpack modes (velsor-launcher-modes.exe).
launcher_image builtin_launcher();
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
// known at the end), then finish() fills the records and writes the headers.
// Nothing is valid until finish() has returned.
class executable_writer {
public:
    executable_writer(const launcher_image &launcher, const std::filesystem::path &out,
                      const executable_options &options);

    // A pack_error when a block of this length would make an image too
    // large for the loader, or a file too large for the PE format.
    void check_fits(std::uint64_t block_length) const;

    std::ostream &block_stream() { return writer_.stream(); }
    void finish(std::uint64_t block_length);

private:
    void add_resources();
    std::uint64_t read_back_identity(std::uint64_t block_length);

    const launcher_image &launcher_;
    executable_options options_;
    pe_writer writer_;
    pe_section block_;
};

/*-**** The runner ****/

// The runner DLL, checked: a 64-bit DLL with one unfilled program record.
struct runner_image {
    pe_image image;
    std::uint64_t record_offset = 0;
};

runner_image load_runner(bytes file, std::string origin);
// The runner that velsor-pack carries inside itself.
runner_image builtin_runner();

// The runner's bytes with `program` (relative to the unpacked directory,
// backslashes) in its record and its PE checksum fixed up.
bytes runner_for_program(const runner_image &runner, const std::u16string &program);

// The payload's first entry for `program`: the runner, filled in.
archive_entry runner_entry(const runner_image &runner, const std::u16string &program);

/*-**** The program's fixed arguments and environment ****/

// --entry-arg TEXT and --env NAME=VALUE, in the order given and as written:
// the file .velsor\entry, which goes in right after the runner. Its form
// and what the runner makes of it: program/entry_options.h.
struct entry_option {
    bool setting = false;  // --env; else --entry-arg
    std::u16string text;
    bool operator==(const entry_option &) const = default;
};

// Checks each option as the runner will expand it: a pack_error (one line)
// for a setting without '=' or with an empty NAME before the first '=', a
// placeholder other than {UNPACK_DIR}, {ENV:NAME} and {{ (in a setting's
// VALUE; its NAME is literal), a VALUE that could pass 32,767 units once
// expanded ({UNPACK_DIR} counted at the longest unpacked directory,
// {ENV:NAME} as empty), or options that take more room than the runner
// reads.
void check_entry_options(const std::vector<entry_option> &options);

// A pack_error when the command line of `program` (its payload name) could
// pass 32,767 units with its fixed arguments: its path in the longest
// unpacked directory, in quotes, then each argument expanded so and quoted
// as the runner quotes it.
void check_entry_command_line(const std::vector<entry_option> &options, const std::u16string &program);

// The file's bytes, and the options read back from them (nothing when the
// bytes are not such a file).
bytes encode_entry_options(const std::vector<entry_option> &options);
std::optional<std::vector<entry_option>> decode_entry_options(const bytes &file);

// The file's name in the payload, and the payload's entry for `options`.
std::u16string entry_options_name();
archive_entry entry_options_entry(const std::vector<entry_option> &options);

/*-**** Packed files ****/

// A packed executable's block is found through its .qzv section; any other
// file must be a block file as a whole. A pack_error if neither holds.
block_location locate_block(const std::filesystem::path &file);

// The program a filled runner names; nothing for bytes with no record.
std::optional<std::u16string> runner_program(const bytes &runner);

// The unpack mode record of an executable packed with --cache or
// --unpack-dir, as filled in; nothing for any other file.
struct unpack_mode_setting {
    bool cache = false;
    std::u16string path_template;
};
std::optional<unpack_mode_setting> read_unpack_mode(const std::filesystem::path &file, const block_location &block);

}  // namespace velsor
