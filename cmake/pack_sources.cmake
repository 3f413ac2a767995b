# The packer's sources that read PE files a user gives it (and write the
# packed ones), relative to pack/: built into velsor-pack, and with clang and
# the sanitizers into the PE reader's fuzzer (tests/host/fuzz).
set(VELSOR_PACK_READER_SOURCES
  base/utf16.cpp
  pe/pe_read.cpp pe/pe_directories.cpp pe/pe_write.cpp
  pe/rsrc/rsrc_read.cpp pe/rsrc/rsrc_write.cpp pe/rsrc/icon.cpp pe/rsrc/version_info.cpp
  image/records.cpp image/launcher_image.cpp image/runner_image.cpp image/mode_template.cpp image/packed_exe.cpp
  checks/names.cpp checks/entry.cpp checks/system_dlls.cpp)
