// Fuzz target: a whole payload block (header, zstd frame, trailer), walked in
// the parent role and then in the child role. Both roles must agree on the
// application DLL path whenever the child found one.
#include <stdint.h>
#include <stdlib.h>

#include "tests/host/fuzz/walk_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    walk_result parent = run_walk(data, size, false);
    walk_result child = run_walk(data, size, true);
    if (child.outcome == walk_completed && parent.dll_path_units > 0 &&
        (child.dll_path_units != parent.dll_path_units || child.dll_path_hash != parent.dll_path_hash)) {
        abort();  // the two roles would load different DLLs
    }
    return 0;
}
