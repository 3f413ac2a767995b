// The payload block's record.
//
// The launcher executable is linked once, with no payload. velsor-pack adds
// the block as a read-only section after the launcher's own sections and
// fills in this record with the block's address and length. The address
// field is initialised with an address, so the linker emits a base
// relocation for it and the loader moves it with the image, as it would any
// pointer in read-only data.
#include <stddef.h>

#include "payload/format.h"
#include "payload/reader.h"

struct payload_block_record {
    unsigned char marker[payload_record_marker_size];
    const unsigned char *block;
    unsigned long long length;
};

static_assert(offsetof(payload_block_record, block) == payload_record_address_offset);
static_assert(offsetof(payload_block_record, length) == payload_record_length_offset);
static_assert(sizeof(payload_block_record) == payload_record_size);

extern "C" __attribute__((used)) const payload_block_record velsor_payload_record = {
    {'Q', 'Z', 'V', ' ', 'b', 'l', 'o', 'c', 'k', ' ', 'r', 'e', 'c', 'o', 'r', 'd'},
    (const unsigned char *)&velsor_payload_record,
    0,
};

// Volatile reads, so that the compiler takes what the packer wrote instead of
// folding in the initialiser's values.
void payload_open(void) {
    const unsigned char *block = *(const unsigned char *const volatile *)&velsor_payload_record.block;
    unsigned long long length = *(const volatile unsigned long long *)&velsor_payload_record.length;
    payload_open_block(block, (size_t)length);
}
