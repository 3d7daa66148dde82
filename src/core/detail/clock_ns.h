#pragma once
// The monotonic and real-time clocks in nanoseconds, for components that
// time and pace in C++; inline, as they are read on the per-query path.
#include <cstdint>
#include <ctime>

namespace tvx {

inline uint64_t clock_ns(clockid_t clock)
{
    struct timespec now;
    clock_gettime(clock, &now);
    return uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec);
}

inline uint64_t monotonic_ns()
{
    return clock_ns(CLOCK_MONOTONIC);
}

inline uint64_t wall_ns()
{
    return clock_ns(CLOCK_REALTIME);
}

}  // namespace tvx
