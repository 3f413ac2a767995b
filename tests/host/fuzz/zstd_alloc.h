/* Forced into zstd's sources in the fuzz build (-include): routes zstd's
 * allocations through fuzz_zstd_* so the decoder's 128 MiB window buffer is
 * kept between runs. Allocating and freeing it under AddressSanitizer costs
 * tens of milliseconds a run (its shadow is poisoned and cleared each time),
 * which would cut the fuzzer to a dozen runs a second. */
#ifndef VELSOR_FUZZ_ZSTD_ALLOC_H
#define VELSOR_FUZZ_ZSTD_ALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif
void *fuzz_zstd_malloc(size_t size);
void *fuzz_zstd_calloc(size_t count, size_t size);
void fuzz_zstd_free(void *p);
#ifdef __cplusplus
}
#endif

#define ZSTD_DEPS_MALLOC
#define ZSTD_malloc(s) fuzz_zstd_malloc(s)
#define ZSTD_calloc(n, s) fuzz_zstd_calloc((n), (s))
#define ZSTD_free(p) fuzz_zstd_free(p)

#endif
