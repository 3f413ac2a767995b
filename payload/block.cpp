// The payload block linked into a packed executable.
//
// Compiled once per packed executable, with the block file and its length
// given on the command line; the block goes into a read-only section of its
// own, and its length is a constant of this translation unit.
#include "payload/reader.h"

#ifndef VELSOR_PAYLOAD_BLOCK_FILE
#error "VELSOR_PAYLOAD_BLOCK_FILE must name the block file (as a string literal)"
#endif
#ifndef VELSOR_PAYLOAD_BLOCK_LENGTH
#error "VELSOR_PAYLOAD_BLOCK_LENGTH must give the block's length in bytes"
#endif

extern "C" const unsigned char velsor_payload_block[];

__asm__(
    ".section .qzv,\"dr\"\n"
    "\t.balign 16\n"
    "\t.globl velsor_payload_block\n"
    "velsor_payload_block:\n"
    "\t.incbin \"" VELSOR_PAYLOAD_BLOCK_FILE "\"\n"
    "\t.text\n");

static const size_t payload_block_length = VELSOR_PAYLOAD_BLOCK_LENGTH;

void payload_open(void) { payload_open_block(velsor_payload_block, payload_block_length); }
