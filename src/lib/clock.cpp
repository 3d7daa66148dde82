#include "lib/clock.h"

#include <ctime>

namespace {

// An unknown clock and a failed call both read as zero; callers get no report.
template <int (*Read)(clockid_t, struct timespec*)>
core_timespec_t read_clock(lib_clock_clkid_t clkid)
{
    clockid_t system_clock;
    switch (clkid) {
    case LIB_CLOCK_REALTIME:
        system_clock = CLOCK_REALTIME;
        break;
    case LIB_CLOCK_MONOTONIC:
        system_clock = CLOCK_MONOTONIC;
        break;
    default:
        return {0, 0};
    }
    struct timespec reading {};
    if (Read(system_clock, &reading) != 0) {
        return {0, 0};
    }
    return {reading.tv_sec, reading.tv_nsec};
}

}  // namespace

core_timespec_t lib_clock_gettime(lib_clock_clkid_t clkid)
{
    return read_clock<clock_gettime>(clkid);
}

core_timespec_t lib_clock_getres(lib_clock_clkid_t clkid)
{
    return read_clock<clock_getres>(clkid);
}

void lib_clock_sleep(double seconds)
{
    if (!(seconds > 0)) {
        return;
    }
    struct timespec span;
    span.tv_sec = static_cast<time_t>(seconds);
    span.tv_nsec = static_cast<long>((seconds - double(span.tv_sec)) * 1e9);
    clock_nanosleep(CLOCK_MONOTONIC, 0, &span, nullptr);
}
