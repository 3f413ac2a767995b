# libzstd's decompression side for the launcher, built from zstd's source
# (fetched by scripts/setup.sh): default decoding parameters, no legacy
# formats, no dictionary builder, no threads.
set(VELSOR_ZSTD_SOURCE "" CACHE PATH "zstd source tree (the top folder, holding lib/)")
if(NOT EXISTS "${VELSOR_ZSTD_SOURCE}/lib/zstd.h")
  message(FATAL_ERROR "zstd source not found at '${VELSOR_ZSTD_SOURCE}'; run scripts/setup.sh first")
endif()

set(zstd_lib ${VELSOR_ZSTD_SOURCE}/lib)
add_library(zstd_decompress STATIC
  ${zstd_lib}/common/debug.c
  ${zstd_lib}/common/entropy_common.c
  ${zstd_lib}/common/error_private.c
  ${zstd_lib}/common/fse_decompress.c
  ${zstd_lib}/common/xxhash.c
  ${zstd_lib}/common/zstd_common.c
  ${zstd_lib}/decompress/huf_decompress.c
  ${zstd_lib}/decompress/zstd_ddict.c
  ${zstd_lib}/decompress/zstd_decompress.c
  ${zstd_lib}/decompress/zstd_decompress_block.c)
target_include_directories(zstd_decompress PUBLIC ${zstd_lib})
target_compile_definitions(zstd_decompress PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM ZSTD_NO_TRACE)
target_compile_options(zstd_decompress PRIVATE -O3)
set_target_properties(zstd_decompress PROPERTIES OUTPUT_NAME zstd_decompress)
