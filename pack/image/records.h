// velsor's records in its launcher and its runner, for the files of image/:
// each starts with a 16-byte marker that nothing else in the image holds,
// and all are found the same way, by searching the image's sections.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pack/pe/pe.h"
#include "payload/format.h"

namespace velsor {

struct record_kind {
    const unsigned char *marker;  // 16 bytes
    size_t size;                  // of the whole record, marker included
};

inline constexpr size_t record_marker_size = 16;
inline constexpr record_kind block_record{payload_record_marker, payload_record_size};
inline constexpr record_kind mode_record{unpack_mode_record_marker, unpack_mode_record_size};
inline constexpr record_kind program_record{program_record_marker, program_record_size};

// File offsets of every place in the sections' bytes of `file` that holds
// the marker of `kind`, in file order; a part of a section past the end of
// `file` is not searched.
std::vector<std::uint64_t> find_records(const bytes &file, const pe_headers &headers, const record_kind &kind);

// The first record of `kind` in a PE file held in memory, whole; nothing when
// the bytes are no PE file, hold no such record or end inside it.
std::optional<std::uint64_t> first_record(const bytes &file, const record_kind &kind);

// UTF-16LE text at `offset`, up to a 0 unit or `units` units.
std::u16string record_text(const bytes &file, std::uint64_t offset, size_t units);

// True when the `size` bytes at `offset` are all zero (a record field as
// linked, before velsor fills it).
bool record_unfilled(const bytes &file, std::uint64_t offset, size_t size);

}  // namespace velsor
