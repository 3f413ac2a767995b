# Host side: the packer, its tests, and the Windows build as a sub-build.
#
# The order matters. The Windows sub-build first links the launcher
# executable and the runner DLL, which velsor-pack carries inside itself;
# then velsor-pack is built; then the rest of the Windows build (the Windows packer, the
# examples and tests, which are packed executables made by velsor-pack).
include(ExternalProject)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(VELSOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix for the Windows tests")
set(VELSOR_ZSTD_SOURCE ${CMAKE_BINARY_DIR}/_deps/zstd-1.5.4 CACHE PATH "zstd source tree")

find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
include(cmake/zstd.cmake)

set(windows_build ${CMAKE_BINARY_DIR}/windows)
set(VELSOR_LAUNCHER_EXE ${windows_build}/bin/velsor-launcher.exe)
set(VELSOR_RUNNER_DLL ${windows_build}/bin/velsor-runner.dll)
set(VELSOR_MODES_LAUNCHER_EXE ${windows_build}/bin/velsor-launcher-modes.exe)
ExternalProject_Add(windows
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${windows_build}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DVELSOR_PACK=${CMAKE_BINARY_DIR}/bin/velsor-pack
    -DVELSOR_WINEPREFIX=${VELSOR_WINEPREFIX}
    -DVELSOR_ZSTD_SOURCE=${VELSOR_ZSTD_SOURCE}
    -DPython3_EXECUTABLE=${Python3_EXECUTABLE}
    -DVELSOR_HOST_BUILD_DIR=${CMAKE_BINARY_DIR}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target velsor_launchers velsor-runner
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${VELSOR_LAUNCHER_EXE} ${VELSOR_MODES_LAUNCHER_EXE} ${VELSOR_RUNNER_DLL}
  INSTALL_COMMAND ""
  STEP_TARGETS build)

add_subdirectory(pack)
add_dependencies(velsor-pack windows-build)

# Everything else of the Windows build, once velsor-pack exists.
ExternalProject_Add_Step(windows everything
  COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
  DEPENDEES build
  DEPENDERS install
  ALWAYS TRUE)
ExternalProject_Add_StepDependencies(windows everything velsor-pack)

# What scripts/example.sh needs and nothing more: the packer, and of the
# Windows build only the packed example (with the launcher it is made from).
add_custom_target(velsor_example
  COMMAND ${CMAKE_COMMAND} --build ${windows_build} --target hello
  COMMENT "Building the packed example in ${windows_build}"
  USES_TERMINAL
  VERBATIM)
add_dependencies(velsor_example velsor-pack)

add_subdirectory(tests/host)
include(cmake/install.cmake)

# Both release archives in build/release, made with every build: cpack for
# this build and for the Windows build.
add_custom_target(velsor_release ALL
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake -B ${CMAKE_BINARY_DIR}/release
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${windows_build}/CPackConfig.cmake -B ${CMAKE_BINARY_DIR}/release
  DEPENDS velsor-pack windows
  COMMENT "Making the release archives in ${CMAKE_BINARY_DIR}/release"
  VERBATIM)

# ctest in the top build directory runs the Windows tests too.
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.cmake "subdirs(\"${windows_build}\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows-tests.cmake)
