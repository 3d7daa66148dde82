#pragma once
// Copy filter: copies the chosen layers of every chain it receives into
// standalone records, linked in the same top-to-bottom order, and hands the
// copied chain, which the receiver then owns, downstream.
#include <cstdint>

#include "core/log.h"
#include "core/object.h"

extern "C" {

// `copy` has one bit per object type, in ascending order of type number:
// NONE 0x1, PCAP 0x2, ETHER 0x4 ... PAYLOAD 0x4000, DNS 0x8000.
typedef struct filter_copy {
    core_log_t _log;
    core_receiver_t recv;
    void* recv_ctx;
    uint64_t copy;
} filter_copy_t;

core_log_t* filter_copy_log();
void filter_copy_init(filter_copy_t* self);
void filter_copy_destroy(filter_copy_t* self);
void filter_copy_set(filter_copy_t* self, int32_t obj_type);
uint64_t filter_copy_get(filter_copy_t* self, int32_t obj_type);
core_receiver_t filter_copy_receiver(filter_copy_t* self);

}  // extern "C"
