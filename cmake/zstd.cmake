# libzstd from zstd's pinned source (fetched by scripts/setup.sh):
#   zstd_decompress  the launcher's decoder: default decoding parameters, no
#                    legacy formats, no dictionary builder, no threads
#   zstd_pack        the packer's whole library, multithreaded compressor
set(VELSOR_ZSTD_SOURCE "" CACHE PATH "zstd source tree (the top folder, holding lib/)")
if(NOT EXISTS "${VELSOR_ZSTD_SOURCE}/lib/zstd.h")
  message(FATAL_ERROR "zstd source not found at '${VELSOR_ZSTD_SOURCE}'; run scripts/setup.sh first")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/zstd_sources.cmake)
set(zstd_lib ${VELSOR_ZSTD_SOURCE}/lib)

list(TRANSFORM VELSOR_ZSTD_DECOMPRESS_SOURCES PREPEND ${zstd_lib}/ OUTPUT_VARIABLE zstd_files)
add_library(zstd_decompress STATIC EXCLUDE_FROM_ALL ${zstd_files})
target_include_directories(zstd_decompress PUBLIC ${zstd_lib})
target_compile_definitions(zstd_decompress PRIVATE ${VELSOR_ZSTD_DEFINITIONS})
target_compile_options(zstd_decompress PRIVATE -O3)

find_package(Threads REQUIRED)
list(TRANSFORM VELSOR_ZSTD_PACK_SOURCES PREPEND ${zstd_lib}/ OUTPUT_VARIABLE zstd_files)
add_library(zstd_pack STATIC EXCLUDE_FROM_ALL ${zstd_files})
target_include_directories(zstd_pack PUBLIC ${zstd_lib})
target_compile_definitions(zstd_pack PRIVATE ${VELSOR_ZSTD_PACK_DEFINITIONS})
target_compile_options(zstd_pack PRIVATE -O3)
target_link_libraries(zstd_pack PUBLIC Threads::Threads)
