# Cross toolchain: 64-bit Windows with mingw-w64 (posix thread variant).
# Test programs run under Wine, in the Wine prefix given by VELSOR_WINEPREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR ${triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${triple}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

if(NOT VELSOR_WINEPREFIX)
  set(VELSOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${VELSOR_WINEPREFIX} WINEDEBUG=-all wine)
