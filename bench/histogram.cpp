// Recording a latency per answer: the histogram's add, exported and inline,
// beside what a generator keeping only min/max/mean/stddev does per answer
// and beside keeping every sample for exact percentiles, in the same run.
// Then the percentiles a result needs, from the histogram and by sorting the
// samples.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bench.h"
#include "core/detail/histogram.h"
#include "lib/histogram.h"

namespace {

constexpr size_t sample_count = 10000000;

// Latencies as a resolver gives them: log-uniform from 10 us to 100 ms.
std::vector<uint64_t> make_samples()
{
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> exponent(std::log(1e4), std::log(1e8));
    std::vector<uint64_t> samples(sample_count);
    for (uint64_t& sample : samples) {
        sample = static_cast<uint64_t>(std::exp(exponent(rng)));
    }
    return samples;
}

struct Moments {
    uint64_t count = 0, min = UINT64_MAX, max = 0;
    double sum = 0, sum_sq = 0;
};

}  // namespace

int main()
{
    const std::vector<uint64_t> samples = make_samples();
    bench::group("latency recorded per answer, 10M answers");
    {
        Moments moments;
        bench::Stopwatch watch;
        for (uint64_t sample : samples) {
            moments.count++;
            moments.min = std::min(moments.min, sample);
            moments.max = std::max(moments.max, sample);
            const double value = static_cast<double>(sample);
            moments.sum += value;
            moments.sum_sq += value * value;
        }
        bench::baseline("min_max_mean_stddev_only", watch.seconds(), samples.size());
        bench::keep(moments);
    }
    {
        std::vector<uint64_t> kept;
        bench::Stopwatch watch;
        for (uint64_t sample : samples) {
            kept.push_back(sample);
        }
        bench::baseline("every_sample_kept", watch.seconds(), samples.size());
        bench::keep(kept.back());
    }
    {
        static lib_histogram_t histogram = LIB_HISTOGRAM_EMPTY;
        bench::Stopwatch watch;
        for (uint64_t sample : samples) {
            lib_histogram_add(&histogram, sample);
        }
        bench::result("lib_histogram_add", watch.seconds(), samples.size());
        bench::keep(histogram.count);
    }
    {
        static lib_histogram_t histogram = LIB_HISTOGRAM_EMPTY;
        bench::Stopwatch watch;
        for (uint64_t sample : samples) {
            tvx::histogram_add(histogram, sample);
        }
        bench::result("histogram_add_inline", watch.seconds(), samples.size());
        bench::keep(histogram.count);
    }

    bench::group("p50 p90 p99 p99.9 of 10M answers, repeated 20 times");
    constexpr size_t rounds = 20;
    const double percents[] = {50, 90, 99, 99.9};
    {
        bench::Stopwatch watch;
        uint64_t picked = 0;
        for (size_t round = 0; round < rounds; round++) {
            std::vector<uint64_t> sorted = samples;
            for (double percent : percents) {
                const size_t rank = static_cast<size_t>(std::ceil(percent / 100 * sorted.size())) - 1;
                std::nth_element(sorted.begin(), sorted.begin() + rank, sorted.end());
                picked += sorted[rank];
            }
        }
        bench::baseline("nth_element_on_samples", watch.seconds(), rounds);
        bench::keep(picked);
    }
    {
        static lib_histogram_t histogram = LIB_HISTOGRAM_EMPTY;
        for (uint64_t sample : samples) {
            tvx::histogram_add(histogram, sample);
        }
        bench::Stopwatch watch;
        uint64_t picked = 0;
        for (size_t round = 0; round < rounds; round++) {
            for (double percent : percents) {
                picked += lib_histogram_percentile(&histogram, percent);
            }
        }
        bench::result("histogram_percentiles", watch.seconds(), rounds);
        bench::keep(picked);
    }
    return 0;
}
