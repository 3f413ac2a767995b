// The unpack modes of a packed executable: --unpack-dir TEMPLATE, the path
// template of the unpacked directory, and --cache, a directory that stays
// between runs. Only the launcher variant with the unpack mode record
// (velsor-launcher-modes.exe) honours them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pack/archive.h"

namespace velsor {

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

}  // namespace velsor
