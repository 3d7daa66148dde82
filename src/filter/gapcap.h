#pragma once
// Gap limiter: hands on each PCAP record with its time stamp moved earlier
// by the time taken out of long forward gaps so far, so that no gap between
// two packets seen downstream exceeds `max_gap`. A capture paused for a day
// then replays at once instead of sleeping until killed; gaps longer than
// `warn_gap` are logged as warnings either way. Backward steps are left as
// they are. Push and pull; objects that are not PCAP records pass unchanged.
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"
#include "core/timespec.h"

extern "C" {

typedef struct filter_gapcap {
    core_log_t _log;
    core_receiver_t recv;
    void* recv_ctx;
    core_producer_t prod;
    void* prod_ctx;
    core_timespec_t max_gap;  // 0: no cap
    core_timespec_t warn_gap;
    int64_t shift_ns;         // taken out so far
    int64_t last_ns;          // the previous packet, as handed on
    uint8_t have_last;
    uint64_t capped;
    uint64_t long_gaps;
    core_object_pcap_t pkt;   // the record handed on: a copy with `ts` moved
} filter_gapcap_t;

core_log_t* filter_gapcap_log();
void filter_gapcap_init(filter_gapcap_t* self);
void filter_gapcap_destroy(filter_gapcap_t* self);
core_receiver_t filter_gapcap_receiver(filter_gapcap_t* self);
core_producer_t filter_gapcap_producer(filter_gapcap_t* self);

}  // extern "C"
