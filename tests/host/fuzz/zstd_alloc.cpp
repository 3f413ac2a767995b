// zstd's allocator in the fuzz build: small blocks go straight to malloc;
// one large block (the window buffer) is kept after it is freed and handed
// out again for the next request of the same size. A use of the window after
// zstd freed it would therefore go unnoticed; everything else stays under
// AddressSanitizer's checks.
#include "tests/host/fuzz/zstd_alloc.h"

#include <stdlib.h>
#include <string.h>

static const size_t kept_threshold = 1 << 20;

static void *kept_block;
static size_t kept_size;
static void *lent_block;  // the kept block while zstd holds it
static size_t lent_size;

void *fuzz_zstd_malloc(size_t size) {
    if (size >= kept_threshold && kept_block != NULL && kept_size == size) {
        lent_block = kept_block;
        lent_size = size;
        kept_block = NULL;
        return lent_block;
    }
    void *p = malloc(size);
    if (p != NULL && size >= kept_threshold && lent_block == NULL) {
        lent_block = p;
        lent_size = size;
    }
    return p;
}

void *fuzz_zstd_calloc(size_t count, size_t size) {
    void *p = fuzz_zstd_malloc(count * size);
    if (p != NULL) {
        memset(p, 0, count * size);
    }
    return p;
}

void fuzz_zstd_free(void *p) {
    if (p != NULL && p == lent_block) {
        free(kept_block);  // at most one block is kept
        kept_block = lent_block;
        kept_size = lent_size;
        lent_block = NULL;
        return;
    }
    free(p);
}
