// Joining path parts.
#pragma once

// output = directory + "\" + name (+ "\" + leaf when leaf is not null), in
// a payload_path_capacity buffer; false when it does not fit.
bool join_path(wchar_t *output, const wchar_t *directory, const wchar_t *name, const wchar_t *leaf);
