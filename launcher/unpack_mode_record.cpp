// The unpack mode record, linked into the modes launcher only. The packer
// finds it by its marker and writes the flags and the template
// (payload/format.h); the default launcher has no such record.
#include "launcher/unpack_mode_record.h"

#include <stddef.h>

#include "payload/format.h"

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
