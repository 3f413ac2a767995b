// The payload reader and the entry walk, built for Linux: what the fuzz
// targets and the regression runner call.
#pragma once

#include <stddef.h>
#include <stdint.h>

// How one run over a block ended.
enum walk_outcome {
    walk_completed,        // the walk returned normally
    walk_header_missing,   // "Error, couldn't find attached data header."
    walk_out_of_memory,    // "Error, couldn't allocate memory."
    walk_decode_failed,    // "Error, couldn't decode attached data."
    walk_unpack_failed,    // "Error, couldn't unpack file to target path."
    walk_open_failed,      // "Error, failed to open '%ls' for writing."
    walk_expand_failed,    // "Error, couldn't runtime expand spec '%ls'."
    walk_capacity_stop,    // a bounded copy ran out of room
};

struct walk_result {
    walk_outcome outcome;
    size_t files_written;     // files opened for writing
    uint64_t bytes_written;
    size_t dll_path_units;    // length of the application DLL path
    uint32_t dll_path_hash;   // FNV-1a over its code units
};

// Runs the entry walk of one role over `block` (header, frame, trailer),
// with every file operation going to a fresh in-memory file system, and
// checks the walk's invariants (aborting on a violation). All reader and
// walk state is reset first, so runs are independent.
walk_result run_walk(const uint8_t *block, size_t length, bool as_child);

// Wraps an archive (the decompressed stream) in a block: "QZV", one zstd
// frame of raw blocks, the trailer. Returns the block's length; `out`
// must hold archive_length + archive_length / 65536 * 3 + 32 bytes.
size_t wrap_archive(const uint8_t *archive, size_t archive_length, uint8_t *out);
