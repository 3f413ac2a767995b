# libzstd's decompression side as the launcher builds it: the source files
# (relative to zstd's lib/ folder) and the settings it decodes with.
set(VELSOR_ZSTD_DECOMPRESS_SOURCES
  common/debug.c
  common/entropy_common.c
  common/error_private.c
  common/fse_decompress.c
  common/xxhash.c
  common/zstd_common.c
  decompress/huf_decompress.c
  decompress/zstd_ddict.c
  decompress/zstd_decompress.c
  decompress/zstd_decompress_block.c)
set(VELSOR_ZSTD_DEFINITIONS ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM ZSTD_NO_TRACE)

# The whole library for velsor-pack, compressor included and multithreaded,
# built the same way for Linux and for Windows so that both packers write
# the same bytes.
set(VELSOR_ZSTD_PACK_SOURCES
  ${VELSOR_ZSTD_DECOMPRESS_SOURCES}
  common/pool.c
  common/threading.c
  compress/fse_compress.c
  compress/hist.c
  compress/huf_compress.c
  compress/zstd_compress.c
  compress/zstd_compress_literals.c
  compress/zstd_compress_sequences.c
  compress/zstd_compress_superblock.c
  compress/zstd_double_fast.c
  compress/zstd_fast.c
  compress/zstd_lazy.c
  compress/zstd_ldm.c
  compress/zstd_opt.c
  compress/zstdmt_compress.c)
set(VELSOR_ZSTD_PACK_DEFINITIONS ${VELSOR_ZSTD_DEFINITIONS} ZSTD_MULTITHREAD)
