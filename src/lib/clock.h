#pragma once
// Readings of the real-time and monotonic clocks.
#include "core/timespec.h"

extern "C" {

// A fixed underlying type, so that any number a script passes is a valid value.
typedef enum lib_clock_clkid : int {
    LIB_CLOCK_REALTIME = 0,
    LIB_CLOCK_MONOTONIC = 1,
} lib_clock_clkid_t;

core_timespec_t lib_clock_gettime(lib_clock_clkid_t clkid);
core_timespec_t lib_clock_getres(lib_clock_clkid_t clkid);
// Sleeps `seconds` on the monotonic clock (a signal cuts it short); nothing
// for a value that is not above 0.
void lib_clock_sleep(double seconds);

}  // extern "C"
