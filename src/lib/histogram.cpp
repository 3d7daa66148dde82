#include "lib/histogram.h"

#include <cmath>
#include <type_traits>

#include "core/detail/histogram.h"
#include "core/detail/log.h"

namespace {

core_log_t module_log = core_log_module_init("lib.histogram");

static_assert(std::is_standard_layout_v<lib_histogram_t>);

// Nearest rank: the smallest rank whose share of the count reaches the
// percentage. A product that lands on a whole number up to rounding (99.9% of
// 1000) is that number, not the next one up.
uint64_t nearest_rank(double percent, uint64_t count)
{
    const double exact = percent / 100.0 * static_cast<double>(count);
    const double whole = std::round(exact);
    double rank = std::fabs(exact - whole) <= 1e-9 * std::fmax(1.0, exact) ? whole : std::ceil(exact);
    if (rank < 1) {
        rank = 1;
    }
    return rank >= static_cast<double>(count) ? count : static_cast<uint64_t>(rank);
}

}  // namespace

void lib_histogram_init(lib_histogram_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = LIB_HISTOGRAM_EMPTY;
}

void lib_histogram_add(lib_histogram_t* self, uint64_t ns)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::histogram_add(*self, ns);
}

void lib_histogram_merge(lib_histogram_t* self, const lib_histogram_t* other)
{
    TVX_CHECK_SELF(self, module_log);
    if (!other) {
        TVX_FATAL(&module_log, "other is nil");
    }
    self->count += other->count;
    self->min_ns = other->min_ns < self->min_ns ? other->min_ns : self->min_ns;
    self->max_ns = other->max_ns > self->max_ns ? other->max_ns : self->max_ns;
    self->sum_ns += other->sum_ns;
    self->sum_sq_ns += other->sum_sq_ns;
    for (size_t index = 0; index < LIB_HISTOGRAM_BUCKETS; index++) {
        self->buckets[index] += other->buckets[index];
    }
}

// The value of the bucket holding the rank: its midpoint, which is within
// half a bucket's width (0.39%) of every value counted there, kept inside the
// exact min and max so that a lone value in a wide bucket reads as itself.
// 0 and 100 are the exact min and max; an empty histogram gives 0.
uint64_t lib_histogram_percentile(const lib_histogram_t* self, double percent)
{
    TVX_CHECK_SELF(self, module_log);
    if (self->count == 0) {
        return 0;
    }
    if (!(percent > 0)) {
        return self->min_ns;
    }
    if (percent >= 100) {
        return self->max_ns;
    }
    const uint64_t rank = nearest_rank(percent, self->count);
    uint64_t seen = 0;
    for (size_t index = 0; index < LIB_HISTOGRAM_BUCKETS; index++) {
        seen += self->buckets[index];
        if (seen >= rank) {
            const uint64_t low = tvx::histogram_bucket_low(index);
            uint64_t value = low + (tvx::histogram_bucket_high(index) - low) / 2;
            value = value < self->min_ns ? self->min_ns : value;
            return value > self->max_ns ? self->max_ns : value;
        }
    }
    // Buckets that add up to less than the count (a record filled by hand):
    // the rank lies past every bucket.
    return self->max_ns;
}

size_t lib_histogram_bucket(uint64_t ns)
{
    return tvx::histogram_bucket(ns);
}

// Past the last bucket there is no bucket: both bounds read UINT64_MAX.
uint64_t lib_histogram_bucket_low(size_t index)
{
    return index < LIB_HISTOGRAM_BUCKETS ? tvx::histogram_bucket_low(index) : UINT64_MAX;
}

uint64_t lib_histogram_bucket_high(size_t index)
{
    return index < LIB_HISTOGRAM_BUCKETS ? tvx::histogram_bucket_high(index) : UINT64_MAX;
}
