// The one switch between the two launcher variants.
//
// velsor-launcher.exe (the default) unpacks into a fresh directory from the
// built-in template and removes it after the run: for it the functions
// below are the inline defaults, which compile to that and nothing more.
// velsor-launcher-modes.exe is built with VELSOR_UNPACK_MODES and gets the
// real functions (unpack_mode.cpp): the packed executable's own template
// (--unpack-dir) and the cache that keeps the directory between runs
// (--cache, unpack_cache.cpp).
#pragma once

#include "launcher/cleanup.h"
#include "launcher/run_state.h"
#include "payload/extract.h"

#ifdef VELSOR_UNPACK_MODES

// The template both roles expand: the packed one, or `default_template`
// when the executable has none. With the packed one, argument 0 becomes the
// module path, as the child's already is, so {PROGRAM...} means the same in
// both roles; the caller keeps the typed argument 0 beforehand.
const wchar_t *unpack_mode_template(const wchar_t *default_template);

// True in cache mode: the directory outlives the run and is never removed.
bool unpack_mode_keeps_directory(void);

// The parent's unpacking: a new directory as in the default mode, or in
// cache mode a trusted cached directory held in use for this run.
void unpack_mode_prepare_directory(void);

// In cache mode, the application DLL in the held cached directory.
const wchar_t *unpack_mode_application_dll(void);

#else

static inline const wchar_t *unpack_mode_template(const wchar_t *default_template) { return default_template; }

static inline bool unpack_mode_keeps_directory(void) { return false; }

static inline const wchar_t *unpack_mode_application_dll(void) { return application_dll_path(); }

static inline void unpack_mode_prepare_directory(void) {
    create_new_directory(target_directory, NULL);
    extract_entries(extract_as_parent, target_directory, NULL);
    release_extraction_directories();
    stop_if_payload_damaged();
}

#endif
