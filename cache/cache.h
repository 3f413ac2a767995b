// The cache of the unpacked directory (--cache): what the launcher and the
// runner ask of it.
#pragma once

// Makes `directory` (the expanded template, a full path) a trusted cached
// directory of this program and holds it in use for the rest of the run:
// the published one when it passes every check, otherwise one unpacked
// afresh and published. Fatal errors only for the run's own unpacking.
void cache_prepare(const wchar_t *directory);

// The application DLL (the payload's first file) in the directory that
// cache_prepare made ready and holds; empty before.
const wchar_t *cache_application_dll(void);

// True when `directory` is a cached directory (it holds the cache's
// record), which outlives the run and is never removed by it.
bool cache_keeps_directory(const wchar_t *directory);
