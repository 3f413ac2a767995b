// Fuzz target: the decompressed archive itself. The input is wrapped in a
// block of raw zstd blocks, so every mutation reaches the entry walk instead
// of being rejected by the decoder.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "tests/host/fuzz/walk_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> block(size + size / 65536 * 3 + 32);
    size_t length = wrap_archive(data, size, block.data());
    walk_result parent = run_walk(block.data(), length, false);
    walk_result child = run_walk(block.data(), length, true);
    // The archive is whole and undamaged as a zstd frame, so the walk can
    // only fail where the records themselves are wrong.
    if (parent.outcome == walk_header_missing || parent.outcome == walk_out_of_memory) {
        abort();
    }
    if (child.outcome == walk_completed && parent.dll_path_units > 0 &&
        (child.dll_path_units != parent.dll_path_units || child.dll_path_hash != parent.dll_path_hash)) {
        abort();
    }
    return 0;
}
