# Configures SOURCE_DIR into a fresh BINARY_DIR for Windows (TOOLCHAIN) and
# builds it, the way a user of velsor builds their own project. Fails when
# either step fails or when the packed executable did not come out.
file(REMOVE_RECURSE ${BINARY_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} -G ${GENERATOR}
          -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
          -DVELSOR_DIR=${VELSOR_DIR} -DVELSOR_PACK=${VELSOR_PACK} -DVELSOR_KIT_DIR=${VELSOR_KIT_DIR}
  RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring ${SOURCE_DIR} failed: ${configured}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} -j 2 RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building ${BINARY_DIR} failed: ${built}")
endif()
if(NOT EXISTS ${BINARY_DIR}/notes.exe)
  message(FATAL_ERROR "the build made no ${BINARY_DIR}/notes.exe")
endif()
