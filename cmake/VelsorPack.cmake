# CMake functions that turn an application directory into one velsor
# executable at build time. An installed velsor provides them through
#
#   find_package(velsor REQUIRED)
#
# and velsor's own build includes this file directly. They need only the
# packer, velsor-pack (it carries the launcher inside itself):
#
#   VELSOR_PACK          path of velsor-pack; set by the package configuration,
#                        else searched for in <VELSOR_DIR>/build/bin and on PATH
#   VELSOR_PACK_WRAPPER  optional command put before velsor-pack (velsor's own
#                        build runs it with an empty environment and no PATH,
#                        which shows that packing needs no toolchain)
#
# The application DLL is built for Windows (with MSVC, or with mingw-w64 and
# a toolchain file); the packer runs on the build machine.
# examples/cmake-project shows the whole path from a CMake project to a
# single .exe.
include_guard(GLOBAL)

# velsor_add_executable(<target> APPDIR <dir> ENTRY <dll or exe> [OUTPUT <exe>]
#                       [LEVEL <n>] [LAUNCHER <exe>] [CONSOLE | GUI] [ICON <file.ico>]
#                       [UNPACK_DIR <template>] [CACHE] [NO_CHECKSUM]
#                       [VERSION <a.b.c.d> [PRODUCT <text>] [COMPANY <text>]
#                        [DESCRIPTION <text>] [COPYRIGHT <text>]]
#                       [ENV <name=value>...] [ENTRY_ARGS <text>...]
#                       [DEPENDS <files or targets>...])
#
# Packs the application directory <dir> into one executable that runs the
# application DLL <entry> (relative to <dir>), or starts the existing
# program <entry> (a 64-bit .exe), whose subsystem, icon and version
# information are then the defaults. <target> builds it; the
# executable is <OUTPUT>, by default <target>.exe in the runtime output
# directory. Relative paths are taken from the current binary directory
# (ICON: from the current source directory). CONSOLE makes a console
# program (a command-line tool started from a shell), GUI a GUI program
# (the default for a DLL); ICON and VERSION with its strings give the executable its icon
# and version information; LAUNCHER packs with another launcher build than
# the one velsor-pack carries. UNPACK_DIR is the path template the
# executable unpacks to (velsor-pack's --unpack-dir; '/' may stand for '\'),
# CACHE keeps the unpacked directory between runs (--cache). NO_CHECKSUM
# leaves the content checksum out of the payload (--no-checksum). For a
# program as the entry, ENTRY_ARGS are its fixed arguments (--entry-arg,
# one each, in order) and ENV its environment settings (--env, one each);
# the settings come first, so that an argument's {ENV:NAME} sees them. A ';'
# in a text is written $<SEMICOLON>, which the packing command turns back
# into ';'. List
# under DEPENDS whatever fills <dir>: its targets (a DLL target, or a target
# made by velsor_stage_app) and files.
# The executable's path is the target's VELSOR_EXECUTABLE property.
function(velsor_add_executable target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE;GUI;CACHE;NO_CHECKSUM"
    "APPDIR;ENTRY;OUTPUT;LEVEL;LAUNCHER;ICON;VERSION;PRODUCT;COMPANY;DESCRIPTION;COPYRIGHT;UNPACK_DIR"
    "DEPENDS;ENV;ENTRY_ARGS")
  if(NOT arg_APPDIR OR NOT arg_ENTRY)
    message(FATAL_ERROR "velsor_add_executable(${target}): APPDIR and ENTRY are required")
  endif()
  _velsor_find_pack()
  cmake_path(ABSOLUTE_PATH arg_APPDIR BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  if(NOT arg_OUTPUT)
    if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
      set(arg_OUTPUT ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${target}.exe)
    else()
      set(arg_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
    endif()
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  set(options)
  if(arg_LEVEL)
    list(APPEND options --level ${arg_LEVEL})
  endif()
  set(depends ${arg_DEPENDS})
  if(arg_LAUNCHER)
    list(APPEND options --launcher ${arg_LAUNCHER})
    list(APPEND depends ${arg_LAUNCHER})
  endif()
  if(arg_ICON)
    cmake_path(ABSOLUTE_PATH arg_ICON BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    list(APPEND options --icon ${arg_ICON})
    list(APPEND depends ${arg_ICON})
  endif()
  if(arg_CONSOLE)
    list(APPEND options --console)
  endif()
  if(arg_GUI)
    list(APPEND options --gui)
  endif()
  if(arg_CACHE)
    list(APPEND options --cache)
  endif()
  if(arg_NO_CHECKSUM)
    list(APPEND options --no-checksum)
  endif()
  if(DEFINED arg_UNPACK_DIR)
    list(APPEND options --unpack-dir ${arg_UNPACK_DIR})
  endif()
  foreach(setting IN LISTS arg_ENV)
    list(APPEND options --env ${setting})
  endforeach()
  foreach(argument IN LISTS arg_ENTRY_ARGS)
    list(APPEND options --entry-arg ${argument})
  endforeach()
  foreach(option IN ITEMS VERSION PRODUCT COMPANY DESCRIPTION COPYRIGHT)
    if(DEFINED arg_${option})
      string(TOLOWER ${option} flag)
      list(APPEND options --${flag} ${arg_${option}})
    endif()
  endforeach()
  # A directory staged by velsor_stage_app is complete when its stamp is.
  foreach(dependency IN LISTS arg_DEPENDS)
    if(TARGET ${dependency})
      get_target_property(stamp ${dependency} VELSOR_STAGE_STAMP)
      if(stamp)
        list(APPEND depends ${stamp})
      endif()
    endif()
  endforeach()
  # The target depends on a stamp rather than on the .exe: CMake would take
  # a dependency named <name>.exe for the target <name>.
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.packed)
  add_custom_command(
    OUTPUT ${arg_OUTPUT} ${stamp}
    COMMAND ${VELSOR_PACK_WRAPPER} ${VELSOR_PACK} build ${arg_APPDIR} --entry ${arg_ENTRY} -o ${arg_OUTPUT} ${options}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${depends} ${VELSOR_PACK}
    COMMENT "Packing ${arg_APPDIR} into ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${stamp})
  set_target_properties(${target} PROPERTIES VELSOR_EXECUTABLE ${arg_OUTPUT})
endfunction()

# velsor_stage_app(<target> DIR <dir> DLL <dll-target> [FILES <src> <dest> ...])
#
# Fills an application directory at build time: the DLL built by
# <dll-target>, plus each <src> file copied to <dir>/<dest>. Relative <src>
# paths are taken from the current source directory, a relative <dir> from
# the current binary directory; <src> may be $<TARGET_FILE:target>.
function(velsor_stage_app target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DIR;DLL" "FILES")
  if(NOT arg_DIR OR NOT arg_DLL)
    message(FATAL_ERROR "velsor_stage_app(${target}): DIR and DLL are required")
  endif()
  list(LENGTH arg_FILES file_words)
  math(EXPR odd "${file_words} % 2")
  if(odd)
    message(FATAL_ERROR "velsor_stage_app(${target}): FILES takes pairs of <src> <dest>")
  endif()
  cmake_path(ABSOLUTE_PATH arg_DIR BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  set(commands COMMAND ${CMAKE_COMMAND} -E make_directory ${arg_DIR}
               COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${arg_DLL}> ${arg_DIR}/)
  set(deps ${arg_DLL})
  set(files ${arg_FILES})
  while(files)
    list(POP_FRONT files src dest)
    if(src MATCHES "^\\$<TARGET_FILE:([^>]+)>$")
      list(APPEND deps ${CMAKE_MATCH_1})  # another target's output, a C module say
    else()
      cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    endif()
    get_filename_component(dest_dir ${arg_DIR}/${dest} DIRECTORY)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E make_directory ${dest_dir}
                         COMMAND ${CMAKE_COMMAND} -E copy ${src} ${arg_DIR}/${dest})
    list(APPEND deps ${src})
  endwhile()
  add_custom_command(OUTPUT ${arg_DIR}.stamp ${commands}
    COMMAND ${CMAKE_COMMAND} -E touch ${arg_DIR}.stamp
    DEPENDS ${deps} VERBATIM)
  add_custom_target(${target} DEPENDS ${arg_DIR}.stamp)
  set_target_properties(${target} PROPERTIES VELSOR_STAGE_STAMP ${arg_DIR}.stamp)
endfunction()

# Sets VELSOR_PACK (in the cache) to the packer, or stops with a message
# saying how to point at it.
macro(_velsor_find_pack)
  if(NOT VELSOR_PACK)
    set(_velsor_pack_hints)
    if(VELSOR_DIR)
      list(APPEND _velsor_pack_hints ${VELSOR_DIR}/build/bin)
    endif()
    # The packer is a program of the build machine, also when cross compiling.
    find_program(VELSOR_PACK velsor-pack HINTS ${_velsor_pack_hints} NO_CMAKE_FIND_ROOT_PATH
      DOC "velsor-pack, the packer")
    if(NOT VELSOR_PACK)
      message(FATAL_ERROR "velsor-pack not found: install velsor and use find_package(velsor), "
        "or set VELSOR_PACK to velsor-pack")
    endif()
  endif()
endmacro()
