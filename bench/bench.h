#pragma once
// Helpers for the C++ benchmark programs: a monotonic stopwatch and the
// lines bench/run.sh turns into ratios ("baseline NAME VALUE UNIT",
// "result NAME VALUE UNIT", higher is better).
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

inline void group(const char* title)
{
    printf("group %s\n", title);
}

inline void baseline(const char* name, double seconds, size_t operations)
{
    printf("baseline %s %.0f ops/s\n", name, operations / seconds);
}

inline void result(const char* name, double seconds, size_t operations)
{
    printf("result %s %.0f ops/s\n", name, operations / seconds);
}

// Keeps a computed value from being optimised away.
template <class T>
inline void keep(const T& value)
{
    asm volatile("" : : "g"(&value) : "memory");
}

}  // namespace bench
