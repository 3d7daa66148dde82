#pragma once
#include <cstdint>

extern "C" {

typedef struct core_timespec {
    int64_t sec;
    int64_t nsec;
} core_timespec_t;

}  // extern "C"
