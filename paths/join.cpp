// Joining path parts.
#include "paths/join.h"

#include <stdio.h>

#include "base/layout.h"

bool join_path(wchar_t *output, const wchar_t *directory, const wchar_t *name, const wchar_t *leaf) {
    int n = leaf == NULL ? _snwprintf(output, payload_path_capacity, L"%ls\\%ls", directory, name)
                         : _snwprintf(output, payload_path_capacity, L"%ls\\%ls\\%ls", directory, name, leaf);
    return n >= 0 && (size_t)n < payload_path_capacity;
}
