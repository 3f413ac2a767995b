// Unpack modes: the template and the mode the packed executable asks for.
#include "launcher/unpack_mode.h"

#include "payload/extract.h"
#include "payload/format.h"

static wchar_t record_template[unpack_mode_template_units];

const wchar_t *unpack_mode_template(const wchar_t *default_template) {
    unpack_mode_record_template(record_template);
    return record_template[0] == L'\0' ? default_template : record_template;
}

bool unpack_mode_keeps_directory(void) { return (unpack_mode_record_flags() & unpack_mode_flag_cache) != 0; }

void unpack_mode_prepare_directory(void) {
    if (unpack_mode_keeps_directory()) {
        unpack_cache_prepare();
    } else {
        extract_entries(extract_as_parent);
    }
}
