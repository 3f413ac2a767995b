// Unpack modes: the template and the mode the packed executable asks for.
#include "launcher/unpack_mode.h"

#include <stdlib.h>

#include "cache/cache.h"
#include "launcher/unpack_mode_record.h"
#include "paths/own_path.h"
#include "payload/format.h"

static wchar_t record_template[unpack_mode_template_units];

const wchar_t *unpack_mode_template(const wchar_t *default_template) {
    unpack_mode_record_template(record_template);
    if (record_template[0] == L'\0') {
        return default_template;
    }
    // {PROGRAM}, {PROGRAM_BASE} and {PROGRAM_DIR} read argument 0. The
    // parent's is what the user typed (perhaps "app", relative and without
    // extension), the child's the module path, so a packed template would
    // expand differently in the two roles. Both take the module path instead.
    __wargv[0] = (wchar_t *)get_own_executable_path(false);
    return record_template;
}

bool unpack_mode_keeps_directory(void) { return (unpack_mode_record_flags() & unpack_mode_flag_cache) != 0; }

const wchar_t *unpack_mode_application_dll(void) { return cache_application_dll(); }

void unpack_mode_prepare_directory(void) {
    if (unpack_mode_keeps_directory()) {
        cache_prepare(target_directory);
        return;
    }
    create_new_directory(target_directory, NULL);
    extract_entries(extract_as_parent, target_directory, NULL);
    release_extraction_directories();
    stop_if_payload_damaged();
}
