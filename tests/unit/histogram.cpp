#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/detail/histogram.h"
#include "lib/histogram.h"

namespace {

constexpr uint64_t us = 1000;
constexpr uint64_t s = 1000000000;

lib_histogram_t filled(const std::vector<uint64_t>& values)
{
    lib_histogram_t histogram;
    lib_histogram_init(&histogram);
    for (uint64_t value : values) {
        lib_histogram_add(&histogram, value);
    }
    return histogram;
}

// Every value's bucket holds it, buckets tile the range without gaps, and no
// value reported for a bucket is more than 1% from any value counted in it.
TEST(Histogram, BucketsTileTheRangeWithinOnePercent)
{
    for (size_t index = 0; index < LIB_HISTOGRAM_BUCKETS; index++) {
        const uint64_t low = lib_histogram_bucket_low(index);
        const uint64_t high = lib_histogram_bucket_high(index);
        ASSERT_LE(low, high) << index;
        ASSERT_EQ(lib_histogram_bucket(low), index);
        ASSERT_EQ(lib_histogram_bucket(high), index);
        if (index + 1 < LIB_HISTOGRAM_BUCKETS) {
            ASSERT_EQ(lib_histogram_bucket_low(index + 1), high + 1);
        }
        if (high >= us && low <= 60 * s) {
            ASSERT_LE(static_cast<double>(high - low) / static_cast<double>(low), 0.01) << index;
        }
    }
    EXPECT_EQ(lib_histogram_bucket_low(LIB_HISTOGRAM_BUCKETS), UINT64_MAX);
    EXPECT_EQ(lib_histogram_bucket_high(LIB_HISTOGRAM_BUCKETS), UINT64_MAX);
}

TEST(Histogram, ValuesLandInTheirBucket)
{
    struct Case {
        uint64_t ns;
        size_t index;
    };
    const Case cases[] = {
        {0, 0},
        {1, 1},
        {127, 127},
        {128, 128},
        {255, 255},
        {256, 256},
        {257, 256},  // 2 ns wide from 256 on
        {258, 257},
        {511, 383},
        {512, 384},
        {1000, 506},  // 4 ns wide there: 2 * 128 + (1000 >> 2)
        {(uint64_t{1} << 36) - 1, LIB_HISTOGRAM_BUCKETS - 1},
        {uint64_t{1} << 36, LIB_HISTOGRAM_BUCKETS - 1},  // saturates
        {UINT64_MAX, LIB_HISTOGRAM_BUCKETS - 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lib_histogram_bucket(c.ns), c.index) << c.ns;
        EXPECT_EQ(tvx::histogram_bucket(c.ns), c.index) << c.ns;
    }
}

TEST(Histogram, EmptyHistogram)
{
    const lib_histogram_t empty = filled({});
    EXPECT_EQ(empty.count, 0u);
    EXPECT_EQ(empty.min_ns, UINT64_MAX);
    EXPECT_EQ(empty.max_ns, 0u);
    for (double percent : {0.0, 50.0, 100.0}) {
        EXPECT_EQ(lib_histogram_percentile(&empty, percent), 0u) << percent;
    }
    lib_histogram_t merged = filled({5 * us});
    lib_histogram_merge(&merged, &empty);
    EXPECT_EQ(merged.count, 1u);
    EXPECT_EQ(merged.min_ns, 5 * us);
    EXPECT_EQ(merged.max_ns, 5 * us);
}

TEST(Histogram, PercentilesByNearestRank)
{
    struct Case {
        std::vector<uint64_t> values;
        double percent;
        uint64_t expect;
    };
    std::vector<uint64_t> hundred;
    for (uint64_t value = 1; value <= 100; value++) {
        hundred.push_back(value);  // below 256: one bucket each, exact
    }
    std::vector<uint64_t> thousand;
    for (uint64_t value = 1; value <= 1000; value++) {
        thousand.push_back(value);
    }
    const Case cases[] = {
        {{42}, 0, 42},
        {{42}, 50, 42},
        {{42}, 100, 42},
        {{7 * s + 1}, 50, 7 * s + 1},  // a lone value is its own min and max
        {hundred, 0, 1},
        {hundred, 1, 1},
        {hundred, 1.5, 2},
        {hundred, 50, 50},
        {hundred, 50.0001, 51},
        {hundred, 99, 99},
        {hundred, 100, 100},
        {hundred, -3, 1},
        {hundred, 250, 100},
        {hundred, NAN, 1},
        {{10, 20, 30, 40}, 25, 10},
        {{10, 20, 30, 40}, 25.1, 20},
        {{10, 20, 30, 40}, 75, 30},
    };
    for (const Case& c : cases) {
        const lib_histogram_t histogram = filled(c.values);
        EXPECT_EQ(lib_histogram_percentile(&histogram, c.percent), c.expect)
            << c.values.size() << " values, " << c.percent << "%";
    }
    // 99.9% of 1000 is the 999th value, not the 1000th, despite rounding:
    // 999 is in the 4 ns bucket 996..999, read as its midpoint.
    const lib_histogram_t wide = filled(thousand);
    EXPECT_EQ(lib_histogram_percentile(&wide, 99.9), 997u);
}

// Across 1 us .. 60 s, every percentile is within 1% of the exact
// order statistic of the same samples.
TEST(Histogram, PercentilesWithinOnePercentOverTheRange)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> exponent(std::log(1.0 * us), std::log(60.0 * s));
    std::vector<uint64_t> values(20000);
    for (uint64_t& value : values) {
        value = static_cast<uint64_t>(std::exp(exponent(random)));
    }
    const lib_histogram_t histogram = filled(values);
    std::vector<uint64_t> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    for (double percent : {0.1, 1.0, 10.0, 25.0, 50.0, 90.0, 99.0, 99.9, 99.99}) {
        const size_t rank = static_cast<size_t>(std::ceil(percent / 100.0 * static_cast<double>(values.size())));
        const double exact = static_cast<double>(sorted[rank - 1]);
        const double reported = static_cast<double>(lib_histogram_percentile(&histogram, percent));
        EXPECT_LE(std::fabs(reported - exact) / exact, 0.01) << percent;
    }
    EXPECT_EQ(lib_histogram_percentile(&histogram, 0), sorted.front());
    EXPECT_EQ(lib_histogram_percentile(&histogram, 100), sorted.back());
}

// Halves merged give the very record the whole would have given.
TEST(Histogram, MergeIsExact)
{
    std::mt19937_64 random(11);
    std::uniform_int_distribution<uint64_t> latency(0, 90 * s);  // past the top, too
    std::vector<uint64_t> first(5000), second(3000);
    for (uint64_t& value : first) {
        value = latency(random);
    }
    for (uint64_t& value : second) {
        value = latency(random) / 1000;
    }
    std::vector<uint64_t> all = first;
    all.insert(all.end(), second.begin(), second.end());
    lib_histogram_t merged = filled(first);
    const lib_histogram_t other = filled(second);
    lib_histogram_merge(&merged, &other);
    const lib_histogram_t whole = filled(all);
    EXPECT_EQ(merged.count, whole.count);
    EXPECT_EQ(merged.min_ns, whole.min_ns);
    EXPECT_EQ(merged.max_ns, whole.max_ns);
    EXPECT_DOUBLE_EQ(merged.sum_ns, whole.sum_ns);
    EXPECT_DOUBLE_EQ(merged.sum_sq_ns, whole.sum_sq_ns);
    for (size_t index = 0; index < LIB_HISTOGRAM_BUCKETS; index++) {
        ASSERT_EQ(merged.buckets[index], whole.buckets[index]) << index;
    }
    for (double percent : {0.0, 50.0, 99.0, 99.9, 100.0}) {
        EXPECT_EQ(lib_histogram_percentile(&merged, percent), lib_histogram_percentile(&whole, percent));
    }
}

// Above the top the buckets saturate; min, max and the sums stay exact.
TEST(Histogram, SaturatesAboveTheTop)
{
    const uint64_t huge = 1000 * s;
    const lib_histogram_t histogram = filled({huge, 2 * huge});
    EXPECT_EQ(histogram.buckets[LIB_HISTOGRAM_BUCKETS - 1], 2u);
    EXPECT_EQ(histogram.min_ns, huge);
    EXPECT_EQ(histogram.max_ns, 2 * huge);
    EXPECT_DOUBLE_EQ(histogram.sum_ns, 3.0 * static_cast<double>(huge));
    EXPECT_EQ(lib_histogram_percentile(&histogram, 100), 2 * huge);
    // Inside the saturated bucket a percentile is only known to be at least
    // its low end, and at most the max.
    const uint64_t p50 = lib_histogram_percentile(&histogram, 50);
    EXPECT_GE(p50, huge);
    EXPECT_LE(p50, 2 * huge);
}

}  // namespace
