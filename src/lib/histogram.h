#pragma once
// Latency histogram, log-linear: exact below 256 ns, then 128 buckets per
// power of two (each at most 0.78% of its lowest value wide) up to 2^36 ns
// (68.7 s); larger values count in the last bucket while min, max and the
// sums stay exact. Two histograms merge exactly by adding their buckets, so
// per-worker and per-host histograms add up to the one a single run would
// have recorded. Values are nanoseconds.
#include <cstddef>
#include <cstdint>

extern "C" {

// 256 exact buckets, then 128 for each power of two from 2^8 to 2^35.
enum { LIB_HISTOGRAM_BUCKETS = 256 + 28 * 128 };

typedef struct lib_histogram {
    uint64_t count;
    uint64_t min_ns;  // UINT64_MAX when empty
    uint64_t max_ns;
    double sum_ns;    // for the mean
    double sum_sq_ns; // for the standard deviation
    uint64_t buckets[LIB_HISTOGRAM_BUCKETS];
} lib_histogram_t;

void lib_histogram_init(lib_histogram_t* self);
void lib_histogram_add(lib_histogram_t* self, uint64_t ns);
void lib_histogram_merge(lib_histogram_t* self, const lib_histogram_t* other);
uint64_t lib_histogram_percentile(const lib_histogram_t* self, double percent);
size_t lib_histogram_bucket(uint64_t ns);
uint64_t lib_histogram_bucket_low(size_t index);
uint64_t lib_histogram_bucket_high(size_t index);

}  // extern "C"

// The empty record init copies; static storage and embedding records use it
// directly.
inline constexpr lib_histogram_t LIB_HISTOGRAM_EMPTY = {0, UINT64_MAX, 0, 0.0, 0.0, {}};
