#pragma once
// A property that must hold for every input: when it does not, the target
// aborts with the condition and its position, and libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);         \
            abort();                                                                              \
        }                                                                                         \
    } while (0)
