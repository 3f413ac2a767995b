// The cache of the unpacked directory (--cache).
#pragma once

// Makes target_directory (the expanded template) a trusted cached
// directory of this program and holds it in use for the rest of the run:
// the published one when it passes every check, otherwise one unpacked
// afresh and published. Fatal errors only for the run's own unpacking.
void unpack_cache_prepare(void);
