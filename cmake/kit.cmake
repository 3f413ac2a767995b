# The launcher kit: what velsor-pack needs to link a packed executable.
#   kit.txt                  compiler and flags
#   include/payload/*.h      the reader's interface
#   src/payload/block.cpp    the block's translation unit
#   lib/                     launcher library, zstd decoder, manifest object,
#                            SHELL32's delay-load import library
set(kit ${VELSOR_KIT_DIR})
set(VELSOR_KIT_CXX ${CMAKE_CXX_COMPILER})
set(VELSOR_KIT_CXXFLAGS "-std=c++20 -O2 -D_WIN32_WINNT=0x0A00")
set(VELSOR_KIT_LDFLAGS "-Wl,--no-insert-timestamp -Wl,--undefined=wWinMain -lvelsor_launcher -lzstd_decompress -lshell32_delay -ldelayimp -municode -mwindows -static -s")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kit.txt.in ${kit}/kit.txt @ONLY)

# SHELL32 is delay-loaded: its import library comes from dlltool, ahead of
# the default one on the link line.
find_program(VELSOR_DLLTOOL ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool REQUIRED)
add_custom_command(
  OUTPUT ${kit}/lib/libshell32_delay.a
  COMMAND ${CMAKE_COMMAND} -E make_directory ${kit}/lib
  COMMAND ${VELSOR_DLLTOOL} --input-def ${PROJECT_SOURCE_DIR}/launcher/shell32_delay.def
          --output-delaylib ${kit}/lib/libshell32_delay.a
  DEPENDS ${PROJECT_SOURCE_DIR}/launcher/shell32_delay.def
  COMMENT "Making SHELL32's delay-load import library")

set(kit_files
  ${kit}/lib/libvelsor_launcher.a
  ${kit}/lib/libzstd_decompress.a
  ${kit}/lib/velsor_manifest.o
  ${kit}/include/payload/reader.h
  ${kit}/src/payload/block.cpp)
add_custom_command(
  OUTPUT ${kit_files}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${kit}/lib ${kit}/include/payload ${kit}/src/payload
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:velsor_launcher> $<TARGET_FILE:zstd_decompress>
          ${VELSOR_MANIFEST_OBJECT} ${kit}/lib/
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/payload/reader.h ${kit}/include/payload/
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/payload/block.cpp ${kit}/src/payload/
  DEPENDS velsor_launcher zstd_decompress velsor_manifest ${VELSOR_MANIFEST_OBJECT}
          ${PROJECT_SOURCE_DIR}/payload/reader.h ${PROJECT_SOURCE_DIR}/payload/block.cpp
  COMMENT "Laying out the launcher kit in ${kit}")
add_custom_target(velsor_kit ALL DEPENDS ${kit_files} ${kit}/lib/libshell32_delay.a)
set(VELSOR_KIT_FILES ${kit_files} ${kit}/lib/libshell32_delay.a ${kit}/kit.txt)
