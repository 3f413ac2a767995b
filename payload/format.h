// The payload block's layout, shared by the launcher that reads it and the
// packer that writes it.
//
//   offset 0      "QZV"
//   offset 3      one zstd frame of the archive
//   offset L - 9  0x00
//   offset L - 8  L - 8 as an unsigned 64-bit little-endian value
//
// The archive is a run of entry records (UTF-16LE name ending in a 0 code
// unit, 64-bit little-endian size, data) closed by a lone 0 code unit.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr unsigned char payload_header[] = {0x51, 0x5A, 0x56};  // "QZV"
inline constexpr size_t payload_header_size = sizeof payload_header;
inline constexpr size_t payload_trailer_size = 9;  // 0x00 + 64-bit length field
inline constexpr size_t payload_size_field_size = 8;

// Entry names are at most this many UTF-16 code units, not counting the 0.
inline constexpr size_t payload_name_max_units = 1023;

// The frame the packer writes: window 2^27, no content size, checksum or
// dictionary, so Frame_Header_Descriptor 0x00 and Window_Descriptor 0x88.
inline constexpr int payload_window_log = 27;
inline constexpr unsigned char payload_frame_descriptor = 0x00;
inline constexpr unsigned char payload_window_descriptor = 0x88;

// Section of the launcher executable that holds the block.
inline constexpr char payload_section_name[] = ".qzv";

// Paths inside the launcher (target directory, extracted file) hold this many
// code units including the terminator.
inline constexpr size_t payload_path_capacity = 4096;
