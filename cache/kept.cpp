// Whether an unpacked directory is the cache's: kept apart from the rest of
// the cache, so that the runner links only this.
#include "cache/cache.h"

#include <windows.h>

#include "base/layout.h"
#include "base/text.h"
#include "paths/join.h"

bool cache_keeps_directory(const wchar_t *directory) {
    wchar_t record[payload_path_capacity];
    return join_path(record, directory, wide_name(velsor_directory_name), wide_name(cache_record_leaf)) &&
           GetFileAttributesW(record) != INVALID_FILE_ATTRIBUTES;
}
