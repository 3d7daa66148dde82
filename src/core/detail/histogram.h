#pragma once
// Log-linear latency buckets: a value's bucket is found from its highest set
// bit and the 7 bits below it, so an add is a count-leading-zeros, two shifts
// and an increment, with no loop and no allocation.
//
// How a component uses it:
//   lib_histogram_t latency = LIB_HISTOGRAM_EMPTY;
//   tvx::histogram_add(latency, received_ns - sent_ns);   // per answer
//   lib_histogram_merge(&total, &latency);                // after the run
//
// Values below 256 ns have a bucket each. Above, every power of two is cut
// into 128 equal buckets, so a bucket is at most 1/128 (0.78%) of its lowest
// value wide: any value reported from a bucket is within 0.78% of every value
// counted in it. 64 buckets per power of two would give 1.56% between a
// bucket's ends and only meet 1% when the midpoint is reported; 128 costs 30
// KiB per histogram and keeps the bound for whatever value is reported.
// The last power of two covered is 2^35..2^36 ns (34.4 s to 68.7 s), past the
// 60 s any wait is set to; larger values count in the last bucket.
#include <cstddef>
#include <cstdint>

#include "lib/histogram.h"

namespace tvx {

inline constexpr unsigned histogram_sub_bits = 7;
inline constexpr uint64_t histogram_sub_count = uint64_t{1} << histogram_sub_bits;
inline constexpr unsigned histogram_top_bit = 35;

constexpr size_t histogram_bucket(uint64_t ns)
{
    if (ns < histogram_sub_count) {
        return static_cast<size_t>(ns);
    }
    const unsigned bit = 63 - static_cast<unsigned>(__builtin_clzll(ns));
    if (bit > histogram_top_bit) {
        return LIB_HISTOGRAM_BUCKETS - 1;
    }
    const unsigned shift = bit - histogram_sub_bits;
    // (ns >> shift) lies in [128, 256): the top bit plus the 7 below it.
    return static_cast<size_t>(shift * histogram_sub_count + (ns >> shift));
}

constexpr uint64_t histogram_bucket_low(size_t index)
{
    if (index < 2 * histogram_sub_count) {
        return index;
    }
    const uint64_t shift = index / histogram_sub_count - 1;
    const uint64_t mantissa = index % histogram_sub_count + histogram_sub_count;
    return mantissa << shift;
}

constexpr uint64_t histogram_bucket_high(size_t index)
{
    return histogram_bucket_low(index + 1) - 1;
}

static_assert(histogram_bucket((uint64_t{1} << (histogram_top_bit + 1)) - 1) == LIB_HISTOGRAM_BUCKETS - 1,
              "the bucket count covers exactly up to the top power of two");
static_assert(histogram_bucket_low(LIB_HISTOGRAM_BUCKETS) == uint64_t{1} << (histogram_top_bit + 1));

inline void histogram_add(lib_histogram_t& histogram, uint64_t ns)
{
    histogram.count++;
    histogram.min_ns = ns < histogram.min_ns ? ns : histogram.min_ns;
    histogram.max_ns = ns > histogram.max_ns ? ns : histogram.max_ns;
    const double value = static_cast<double>(ns);
    histogram.sum_ns += value;
    histogram.sum_sq_ns += value * value;
    histogram.buckets[histogram_bucket(ns)]++;
}

}  // namespace tvx
