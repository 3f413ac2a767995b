# GoogleTest for the target, built from Debian's googletest source.
set(VELSOR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "googletest source tree")
if(NOT EXISTS "${VELSOR_GOOGLETEST_SOURCE}/googletest/CMakeLists.txt")
  message(FATAL_ERROR "googletest source not found at '${VELSOR_GOOGLETEST_SOURCE}'")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${VELSOR_GOOGLETEST_SOURCE}/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
