// Unpack modes, only in the launcher variant built with VELSOR_UNPACK_MODES
// (velsor-launcher-modes.exe): where the directory is unpacked, and whether
// it is kept between runs as a cache.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The mode record as the packer filled it (payload/block.cpp). The template
// output holds unpack_mode_template_units code units.
unsigned int unpack_mode_record_flags(void);
void unpack_mode_record_template(wchar_t *output);

// The template both roles expand: the record's, or `default_template` when
// the record holds none. With the record's, argument 0 becomes the module
// path, as the child's already is, so {PROGRAM...} means the same in both
// roles; the caller keeps the typed argument 0 beforehand.
const wchar_t *unpack_mode_template(const wchar_t *default_template);

// True in cache mode: the directory outlives the run and is never removed.
bool unpack_mode_keeps_directory(void);

// The parent's unpacking: a fresh directory as in the default mode, or in
// cache mode a complete cached directory held in use for this run.
void unpack_mode_prepare_directory(void);

// Extraction reports each file it has written (the cache lists them).
void unpack_cache_note_file(const wchar_t *name, uint64_t size);

// Cache mode: makes target_directory a complete cached directory
// (unpack_cache.cpp).
void unpack_cache_prepare(void);
