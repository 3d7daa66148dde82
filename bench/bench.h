#pragma once
// Small helpers shared by the benchmark programs: a monotonic stopwatch and
// the side-by-side line every scenario prints.
#include <chrono>
#include <cstdio>

namespace bench {

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double seconds() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// "scenario  subject  1.234 s  5.67 M/s  x1.00 of baseline"
inline void report(const char* scenario, const char* subject, double seconds, size_t operations, double baseline)
{
    printf("%-28s %-22s %8.3f s %9.2f M/s   %6.2fx baseline time\n", scenario, subject, seconds,
           operations / seconds / 1e6, baseline > 0 ? seconds / baseline : 0.0);
}

// Keeps a computed value from being optimised away.
template <class T>
inline void keep(const T& value)
{
    asm volatile("" : : "g"(&value) : "memory");
}

}  // namespace bench
