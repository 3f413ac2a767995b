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
