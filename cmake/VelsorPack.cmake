# velsor_add_executable(<target> APPDIR <dir> ENTRY <dll> [OUTPUT <exe>]
#                       [LEVEL <n>] [DEPENDS <files or targets>...])
#
# Packs the application directory <dir> into one executable that runs the
# application DLL <entry> (relative to <dir>). <target> builds it; the
# executable is <OUTPUT>, by default <target>.exe in the runtime output
# directory. List under DEPENDS whatever fills <dir> (its targets and files).
#
# Uses VELSOR_PACK (path of velsor-pack) and VELSOR_KIT_DIR when they are set.
function(velsor_add_executable target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "APPDIR;ENTRY;OUTPUT;LEVEL" "DEPENDS")
  if(NOT arg_APPDIR OR NOT arg_ENTRY)
    message(FATAL_ERROR "velsor_add_executable(${target}): APPDIR and ENTRY are required")
  endif()
  if(NOT VELSOR_PACK)
    find_program(VELSOR_PACK velsor-pack REQUIRED)
  endif()
  if(NOT arg_OUTPUT)
    if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
      set(arg_OUTPUT ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${target}.exe)
    else()
      set(arg_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
    endif()
  endif()
  set(level_args)
  if(arg_LEVEL)
    set(level_args --level ${arg_LEVEL})
  endif()
  set(kit_args)
  if(VELSOR_KIT_DIR)
    set(kit_args --kit ${VELSOR_KIT_DIR})
  endif()
  # The target depends on a stamp rather than on the .exe: CMake would take
  # a dependency named <name>.exe for the target <name>.
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.packed)
  add_custom_command(
    OUTPUT ${arg_OUTPUT} ${stamp}
    COMMAND ${VELSOR_PACK} build ${arg_APPDIR} --entry ${arg_ENTRY} -o ${arg_OUTPUT} ${level_args} ${kit_args}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${arg_DEPENDS} ${VELSOR_PACK} ${VELSOR_KIT_FILES}
    COMMENT "Packing ${arg_APPDIR} into ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${stamp})
  set_target_properties(${target} PROPERTIES VELSOR_EXECUTABLE ${arg_OUTPUT})
endfunction()

# velsor_stage_app(<target> DIR <dir> DLL <dll-target> [FILES <src> <dest> ...])
#
# Fills an application directory at build time: the DLL built by
# <dll-target>, plus each <src> file copied to <dir>/<dest>.
function(velsor_stage_app target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DIR;DLL" "FILES")
  set(commands COMMAND ${CMAKE_COMMAND} -E make_directory ${arg_DIR}
               COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${arg_DLL}> ${arg_DIR}/)
  set(deps ${arg_DLL})
  set(files ${arg_FILES})
  while(files)
    list(POP_FRONT files src dest)
    get_filename_component(dest_dir ${arg_DIR}/${dest} DIRECTORY)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E make_directory ${dest_dir}
                         COMMAND ${CMAKE_COMMAND} -E copy ${src} ${arg_DIR}/${dest})
    list(APPEND deps ${src})
  endwhile()
  add_custom_command(OUTPUT ${arg_DIR}.stamp ${commands}
    COMMAND ${CMAKE_COMMAND} -E touch ${arg_DIR}.stamp
    DEPENDS ${deps} VERBATIM)
  add_custom_target(${target} DEPENDS ${arg_DIR}.stamp)
endfunction()
