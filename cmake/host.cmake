# Host side: the packer, its tests, and the Windows build as a sub-build.
include(ExternalProject)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(VELSOR_KIT_DIR ${CMAKE_BINARY_DIR}/share/velsor)
set(VELSOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix for the Windows tests")
set(VELSOR_ZSTD_SOURCE ${CMAKE_BINARY_DIR}/_deps/zstd-1.5.4 CACHE PATH "zstd source tree for the Windows build")

find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

add_subdirectory(pack)
add_subdirectory(tests/host)

# The Windows half. Always rebuilt incrementally, after the packer, since its
# examples and tests are packed executables.
ExternalProject_Add(windows
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/windows
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DVELSOR_PACK=$<TARGET_FILE:velsor-pack>
    -DVELSOR_KIT_DIR=${VELSOR_KIT_DIR}
    -DVELSOR_WINEPREFIX=${VELSOR_WINEPREFIX}
    -DVELSOR_ZSTD_SOURCE=${VELSOR_ZSTD_SOURCE}
    -DPython3_EXECUTABLE=${Python3_EXECUTABLE}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  DEPENDS velsor-pack)

# ctest in the top build directory runs the Windows tests too.
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.cmake "subdirs(\"${CMAKE_BINARY_DIR}/windows\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows-tests.cmake)
