#pragma once
// Capture time in nanoseconds, for components that keep time by the packets
// they see (reassembly timeouts) rather than by the clock.
//
// How a component uses it:
//   int64_t now = tvx::capture_ns(obj, last_now);     // from the chain's PCAP record
//   if (tvx::older_than(then, now, tvx::span_ns(self->timeout))) { ...expired... }
// Times saturate instead of overflowing, whatever a capture or a script says.
#include <cstdint>
#include <limits>

#include "core/object.h"
#include "core/object/pcap.h"
#include "core/timespec.h"

namespace tvx {

inline int64_t timespec_ns(int64_t sec, int64_t nsec)
{
    int64_t ns;
    if (__builtin_mul_overflow(sec, int64_t{1000000000}, &ns) || __builtin_add_overflow(ns, nsec, &ns)) {
        return sec < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    }
    return ns;
}

inline int64_t span_ns(const core_timespec_t& span)
{
    return timespec_ns(span.sec, span.nsec);
}

// The time of the PCAP record at the bottom of `obj`'s chain; `fallback`
// for a chain without one.
inline int64_t capture_ns(const core_object_t* obj, int64_t fallback)
{
    for (; obj; obj = obj->obj_prev) {
        if (obj->obj_type == CORE_OBJECT_PCAP) {
            const auto& ts = reinterpret_cast<const core_object_pcap_t*>(obj)->ts;
            return timespec_ns(ts.sec, ts.nsec);
        }
    }
    return fallback;
}

// Whether `then` lies more than `span` before `now`.
inline bool older_than(int64_t then, int64_t now, int64_t span)
{
    int64_t elapsed;
    if (__builtin_sub_overflow(now, then, &elapsed)) {
        return now > then;
    }
    return elapsed > span;
}

}  // namespace tvx
