#pragma once
// Timing filter: delays each packet record so that packets leave spaced as
// captured, with gaps changed by an amount or a factor, at a fixed interval, or
// as fast as possible without running ahead of capture time. Push and pull.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"

extern "C" {

// A fixed underlying type: scripts may store any number in the mode field,
// and reading it back must stay defined so the first packet can refuse it.
typedef enum filter_timing_mode : uint32_t {
    TIMING_MODE_KEEP = 0,
    TIMING_MODE_INCREASE = 1,
    TIMING_MODE_REDUCE = 2,
    TIMING_MODE_MULTIPLY = 3,
    TIMING_MODE_FIXED = 4,
    TIMING_MODE_REALTIME = 5,
} filter_timing_mode_t;

// The record's private state follows it in memory; only filter_timing_new
// makes records.
typedef struct filter_timing {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    filter_timing_mode_t mode;
    size_t inc;
    size_t red;
    size_t fixed;
    size_t rt_batch;
    float mul;
    uint64_t rt_drift;
    core_producer_t prod;
    void* prod_ctx;
} filter_timing_t;

core_log_t* filter_timing_log();
filter_timing_t* filter_timing_new();
void filter_timing_free(filter_timing_t* self);
core_receiver_t filter_timing_receiver(filter_timing_t* self);
core_producer_t filter_timing_producer(filter_timing_t* self);

}  // extern "C"
