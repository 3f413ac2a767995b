// The system's boot, told apart by when it started.
#include "cache/boot.h"

#include <windows.h>

#include "base/text.h"

// Two estimates of one boot's start differ by the clock's adjustments in
// between; two boots start further apart than this, since the machine must
// shut down and start again in between.
static const uint64_t same_boot_tolerance = 10 * 10000000ull;
static const uint64_t ticks_per_millisecond = 10000;

uint64_t boot_time(void) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return filetime_count(now) - GetTickCount64() * ticks_per_millisecond;
}

bool same_boot(uint64_t recorded) {
    uint64_t now = boot_time();
    uint64_t apart = now > recorded ? now - recorded : recorded - now;
    return apart <= same_boot_tolerance;
}
