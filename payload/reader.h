// Payload stream reader: the decompressed archive as a source of exact-size reads.
//
// Opened once per run; every failure (bad header, no memory, undecodable
// data, an archive that ends early) ends the process with its message.
#pragma once

#include <stddef.h>

// Opens the block linked into this executable (defined in the block's own
// translation unit, built together with the block).
void payload_open(void);

// Opens any block; payload_open() calls this with the linked block.
void payload_open_block(const unsigned char *block, size_t length);

// Writes exactly the next n bytes of the archive to `destination`.
void payload_read(void *destination, size_t n);

// Decodes on to the end of the frame that holds what was read last, and
// discards what comes out: the decoder checks the frame's content checksum
// there. False when that check, or the decoding, fails. Called once the
// archive's terminator has been read, before anything that was written is
// used.
bool payload_frame_intact(void);

void payload_close(void);

// True once a block has been opened: from then on the target directory may
// hold files, and clean-up removes it. Safe on any thread.
bool payload_extraction_started(void);
