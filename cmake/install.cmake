# What `cmake --install` puts into a prefix, and the release archive CPack
# makes of it; the same for the Linux and the Windows build:
#   bin/velsor-pack[.exe]            the packer, one self-contained file
#   lib/cmake/velsor/                the CMake package (find_package(velsor)),
#                                    its functions and the mingw-w64 toolchain file
#   include/velsor/app.h             run_code from a program's main, wmain or WinMain
#   share/doc/velsor/README.md      (Windows: README.md at the top, where
#                                    Explorer shows it first)
include(CMakePackageConfigHelpers)
set(package_dir lib/cmake/velsor)

install(TARGETS velsor-pack RUNTIME DESTINATION bin)
set(VELSOR_PACK_FILE_NAME velsor-pack${CMAKE_EXECUTABLE_SUFFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/velsorConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/velsorConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/velsorConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/package/velsorConfig.cmake
  ${CMAKE_BINARY_DIR}/package/velsorConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/VelsorPack.cmake
  ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
  DESTINATION ${package_dir})
install(FILES ${PROJECT_SOURCE_DIR}/include/velsor/app.h DESTINATION include/velsor)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/velsor)
endif()

set(CPACK_PACKAGE_NAME velsor)
set(CPACK_PACKAGE_VENDOR velsor)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "velsor-pack: one Windows executable from an application directory")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-x86_64)
endif()
set(CPACK_PACKAGE_FILE_NAME velsor-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_THREADS 1)  # the archive's bytes do not depend on the machine
include(CPack)
