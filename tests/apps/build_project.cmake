# Installs velsor from HOST_BUILD into a fresh PREFIX, copies the project
# SOURCE_DIR out of the source tree and configures and builds it for Windows
# against that prefix alone, the way a user of an installed velsor builds
# their own project. Fails when any step fails or when the packed executable
# did not come out.
file(REMOVE_RECURSE ${BINARY_DIR} ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${HOST_BUILD} --prefix ${PREFIX}
  RESULT_VARIABLE installed)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "installing velsor into ${PREFIX} failed: ${installed}")
endif()
file(COPY ${SOURCE_DIR}/ DESTINATION ${BINARY_DIR}/src)
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${BINARY_DIR}/src -B ${BINARY_DIR}/build -G ${GENERATOR}
          -DCMAKE_TOOLCHAIN_FILE=${PREFIX}/lib/cmake/velsor/mingw-w64-x86_64.cmake
          -DCMAKE_PREFIX_PATH=${PREFIX}
  RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring ${SOURCE_DIR} failed: ${configured}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR}/build -j 2 RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building ${BINARY_DIR} failed: ${built}")
endif()
if(NOT EXISTS ${BINARY_DIR}/build/notes.exe)
  message(FATAL_ERROR "the build made no ${BINARY_DIR}/build/notes.exe")
endif()
