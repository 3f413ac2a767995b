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

#include "base/layout.h"

inline constexpr unsigned char payload_header[] = {0x51, 0x5A, 0x56};  // "QZV"
inline constexpr size_t payload_header_size = sizeof payload_header;
inline constexpr size_t payload_trailer_size = 9;  // 0x00 + 64-bit length field
inline constexpr size_t payload_size_field_size = 8;

// Entry names are at most this many UTF-16 code units, not counting the 0.
inline constexpr size_t payload_name_max_units = 1023;

// The frame the packer writes: window 2^27, no content size or dictionary,
// and the content checksum (the decoder checks it at the frame's end), so
// Frame_Header_Descriptor 0x04 and Window_Descriptor 0x88. Without the
// checksum (velsor-pack --no-checksum, and earlier packers) the descriptor
// is 0x00; the launcher reads both.
inline constexpr int payload_window_log = 27;
inline constexpr unsigned char payload_frame_descriptor = 0x00;
inline constexpr unsigned char payload_frame_descriptor_checksum = 0x04;
inline constexpr unsigned char payload_window_descriptor = 0x88;

// Section of a packed executable that holds the block, placed by the packer
// after the launcher's own sections.
inline constexpr char payload_section_name[] = ".qzv";

// The block record: the launcher is linked once, without a payload, and
// holds this record in its read-only data. The packer adds the block to the
// executable and writes the block's address and length into the record.
//
//   offset 0   16 bytes  payload_record_marker, which the packer looks for
//   offset 16  8 bytes   the block's virtual address (the loader relocates it)
//   offset 24  8 bytes   the block's length L, little-endian
//
// Unfilled, the address field holds the record's own address and the length
// is 0; the launcher then finds no header and says so.
inline constexpr unsigned char payload_record_marker[] = {'Q', 'Z', 'V', ' ', 'b', 'l', 'o', 'c',
                                                          'k', ' ', 'r', 'e', 'c', 'o', 'r', 'd'};
inline constexpr size_t payload_record_marker_size = sizeof payload_record_marker;
inline constexpr size_t payload_record_address_offset = 16;
inline constexpr size_t payload_record_length_offset = 24;
inline constexpr size_t payload_record_size = 32;

// Packing an existing program: the payload's first entry is then velsor's
// runner DLL, stored as runner_entry_name (base/layout.h), which starts the
// program.

// The program record: the runner DLL is linked once, without a program, and
// holds this record in its read-only data. The packer writes the program's
// path into it, relative to the unpacked directory, with backslashes.
//
//   offset 0   16 bytes  program_record_marker, which the packer looks for
//   offset 16  program_record_path_units UTF-16LE code units: the path,
//              NUL-terminated and zero-filled; all zero when unfilled
inline constexpr unsigned char program_record_marker[] = {'Q', 'Z', 'V', ' ', 'p', 'r', 'o', 'g',
                                                          'r', 'a', 'm', ' ', 'p', 'a', 't', 'h'};
inline constexpr size_t program_record_marker_size = sizeof program_record_marker;
inline constexpr size_t program_record_path_offset = 16;
inline constexpr size_t program_record_path_units = payload_name_max_units + 1;
inline constexpr size_t program_record_size = program_record_path_offset + 2 * program_record_path_units;

// The unpack mode record, only in the launcher variant that has the unpack
// modes (velsor-launcher-modes.exe), right after the block record. The
// packer fills it for --cache and --unpack-dir; left as linked (flags 0, an
// empty template) the launcher behaves as the default one.
//
//   offset 0   16 bytes  unpack_mode_record_marker
//   offset 16  4 bytes   flags, little-endian (unpack_mode_flag_cache)
//   offset 20  4 bytes   0
//   offset 24  unpack_mode_template_units UTF-16LE code units: the path
//              template of the unpacked directory, ending in a 0 code unit
//              (empty: the default template)
inline constexpr unsigned char unpack_mode_record_marker[] = {'Q', 'Z', 'V', ' ', 'u', 'n', 'p', 'a',
                                                              'c', 'k', ' ', 'm', 'o', 'd', 'e', 's'};
inline constexpr size_t unpack_mode_record_marker_size = sizeof unpack_mode_record_marker;
inline constexpr size_t unpack_mode_flags_offset = 16;
inline constexpr size_t unpack_mode_template_offset = 24;
inline constexpr size_t unpack_mode_template_units = 1024;
inline constexpr size_t unpack_mode_record_size = unpack_mode_template_offset + 2 * unpack_mode_template_units;
inline constexpr unsigned int unpack_mode_flag_cache = 0x1;  // the unpacked directory stays between runs
