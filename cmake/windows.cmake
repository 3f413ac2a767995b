# Windows side: the launcher executable, the Windows packer, the examples
# and the Windows tests.
if(NOT VELSOR_PACK)
  message(FATAL_ERROR "VELSOR_PACK (the host packer) is not set; configure the top project for the host")
endif()
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

include(cmake/zstd.cmake)
add_subdirectory(resources)
include(cmake/rooms.cmake)
add_subdirectory(launcher)
add_subdirectory(runner)

# velsor-pack.exe carries this build's launchers and runner.
set(VELSOR_LAUNCHER_EXE ${CMAKE_BINARY_DIR}/bin/velsor-launcher.exe)
set(VELSOR_MODES_LAUNCHER_EXE ${CMAKE_BINARY_DIR}/bin/velsor-launcher-modes.exe)
set(VELSOR_RUNNER_DLL ${CMAKE_BINARY_DIR}/bin/velsor-runner.dll)
add_subdirectory(pack)
add_dependencies(velsor-pack velsor-launcher velsor-launcher-modes velsor-runner)

# Every packed executable of this build is made with an empty environment and
# no PATH: packing runs no compiler, assembler or linker.
set(VELSOR_PACK_WRAPPER env -i PATH=/nonexistent)
include(cmake/VelsorPack.cmake)
include(cmake/googletest.cmake)

add_subdirectory(examples)
add_subdirectory(tests)

include(cmake/install.cmake)
