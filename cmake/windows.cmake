# Windows side: the launcher library and kit, the examples, the Windows tests.
if(NOT VELSOR_PACK)
  message(FATAL_ERROR "VELSOR_PACK (the host packer) is not set; configure the top project for the host")
endif()
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

include(cmake/zstd.cmake)
add_subdirectory(launcher)
add_subdirectory(resources)

include(cmake/kit.cmake)
include(cmake/VelsorPack.cmake)
include(cmake/googletest.cmake)

add_subdirectory(examples)
add_subdirectory(tests)
