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

#ifdef VELSOR_UNPACK_MODES
// The unpack mode record, right after the block record; the packer writes
// the flags and the template (payload/format.h).
#include "launcher/unpack_mode.h"

struct unpack_mode_record {
    unsigned char marker[unpack_mode_record_marker_size];
    unsigned int flags;
    unsigned int reserved;
    wchar_t path_template[unpack_mode_template_units];
};

static_assert(offsetof(unpack_mode_record, flags) == unpack_mode_flags_offset);
static_assert(offsetof(unpack_mode_record, path_template) == unpack_mode_template_offset);
static_assert(sizeof(unpack_mode_record) == unpack_mode_record_size);

extern "C" __attribute__((used)) const unpack_mode_record velsor_unpack_mode_record = {
    {'Q', 'Z', 'V', ' ', 'u', 'n', 'p', 'a', 'c', 'k', ' ', 'm', 'o', 'd', 'e', 's'},
    0,
    0,
    {},
};

unsigned int unpack_mode_record_flags(void) {
    return *(const volatile unsigned int *)&velsor_unpack_mode_record.flags;
}

// Copies the template up to its 0 code unit; the last unit always ends it.
// The template is read through a pointer that is itself read as volatile:
// volatile reads of the units alone still let the compiler use the
// initialiser's zeros.
void unpack_mode_record_template(wchar_t *output) {
    const wchar_t *const volatile source = velsor_unpack_mode_record.path_template;
    const wchar_t *from = source;
    size_t n = 0;
    for (; n + 1 < unpack_mode_template_units && from[n] != L'\0'; n++) {
        output[n] = from[n];
    }
    output[n] = L'\0';
}
#endif
