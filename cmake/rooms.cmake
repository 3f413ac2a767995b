# The launcher's rooms, one static library each, linked in layer order:
# base <- paths, files <- payload, program <- cache <- launcher <- runner.
# A room's library links the rooms below it that it calls, so an executable
# or DLL pulls only the objects it reaches.
# SHELL32 and ADVAPI32 are delay-loaded: their import libraries come from
# dlltool, and every room that calls them links them, so that they stand
# ahead of the default ones on the link line.
find_program(VELSOR_DLLTOOL ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool REQUIRED)
function(velsor_delay_library dll)
  set(library ${CMAKE_BINARY_DIR}/lib${dll}_delay.a)
  add_custom_command(
    OUTPUT ${library}
    COMMAND ${VELSOR_DLLTOOL} --input-def ${PROJECT_SOURCE_DIR}/cmake/${dll}_delay.def
            --output-delaylib ${library}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/${dll}_delay.def
    COMMENT "Making ${dll}'s delay-load import library")
  add_custom_target(${dll}_delay_lib DEPENDS ${library})
  add_library(velsor_${dll}_delay INTERFACE)
  add_dependencies(velsor_${dll}_delay ${dll}_delay_lib)
  target_link_libraries(velsor_${dll}_delay INTERFACE ${library} delayimp)
endfunction()
velsor_delay_library(shell32)
velsor_delay_library(advapi32)

function(velsor_room_library name)
  cmake_parse_arguments(ROOM "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${ROOM_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${VELSOR_WARNINGS})
  target_compile_definitions(${name} PUBLIC _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  if(ROOM_LINKS)
    target_link_libraries(${name} PUBLIC ${ROOM_LINKS})
  endif()
endfunction()

set(root ${PROJECT_SOURCE_DIR})
velsor_room_library(velsor_base SOURCES ${root}/base/fatal.cpp ${root}/base/text.cpp)
velsor_room_library(velsor_paths LINKS velsor_base velsor_shell32_delay velsor_advapi32_delay SOURCES
  ${root}/paths/env.cpp ${root}/paths/template.cpp ${root}/paths/token.cpp ${root}/paths/own_path.cpp
  ${root}/paths/join.cpp ${root}/paths/secret.cpp)
# The launcher with the unpack modes takes its template's folders from the
# environment first: its own copy of the expansion, linked ahead of the
# paths room's, so the default launcher stays as it is.
velsor_room_library(velsor_paths_modes LINKS velsor_base velsor_shell32_delay SOURCES ${root}/paths/template.cpp)
target_compile_definitions(velsor_paths_modes PRIVATE VELSOR_UNPACK_MODES)
velsor_room_library(velsor_files LINKS velsor_base ntdll SOURCES
  ${root}/files/remove.cpp ${root}/files/owner.cpp ${root}/files/relative.cpp ${root}/files/flush_at.cpp)
velsor_room_library(velsor_payload LINKS velsor_files velsor_paths velsor_base zstd_decompress SOURCES
  ${root}/payload/reader.cpp ${root}/payload/extract.cpp)
velsor_room_library(velsor_program LINKS velsor_paths velsor_files velsor_base SOURCES
  ${root}/program/run.cpp ${root}/program/entry_options.cpp ${root}/program/program.cpp ${root}/program/job.cpp
  ${root}/program/launcher_process.cpp ${root}/program/sweep.cpp)
velsor_room_library(velsor_cache LINKS velsor_payload velsor_paths velsor_files velsor_base SOURCES
  ${root}/cache/publish.cpp ${root}/cache/boot.cpp ${root}/cache/lock.cpp ${root}/cache/record.cpp ${root}/cache/retire.cpp
  ${root}/cache/trust.cpp ${root}/cache/kept.cpp ${root}/cache/stamp.cpp)
