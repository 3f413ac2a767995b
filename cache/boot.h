// The system's boot: files the system holds in its cache are lost only when
// it stops without writing them out, so within one boot what a run wrote
// reads back as written, flushed to disk or not.
#pragma once

#include <stdint.h>

// When this boot of the system started (FILETIME units, from the clock and
// the time since the start: the same in every process of one boot, up to
// the clock's adjustments).
uint64_t boot_time(void);

// Whether `recorded` (a boot_time of some run) is this boot's.
bool same_boot(uint64_t recorded);
