#pragma once
// IP fragment reassembly: sits behind the layer decoder, collects the
// fragments of each IPv4 and IPv6 datagram and, once one is whole, decodes it
// as if it had been captured whole, handing on the same chain (payload ->
// udp/tcp -> ip -> link -> pcap, the link and PCAP records those of the
// fragment that completed it). Everything that is not a fragment passes
// unchanged.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/timespec.h"
#include "filter/layer.h"

extern "C" {

typedef struct filter_ipfrag {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    core_producer_t prod;
    void* prod_ctx;

    // Limits: `max_datagrams` through filter_ipfrag_set_max_datagrams (it
    // reallocates and forgets every fragment held); `timeout` (capture time,
    // from a datagram's first fragment) may be written at any time.
    uint32_t max_datagrams;  // datagrams being reassembled at once
    core_timespec_t timeout;

    // Counters.
    uint64_t fragments;     // fragments received
    uint64_t datagrams;     // datagrams reassembled and handed on
    uint64_t timeouts;      // datagrams given up after the timeout
    uint64_t overlaps;      // IPv6 datagrams dropped for overlapping fragments
    uint64_t overlap_bytes; // IPv4 bytes already held, seen again in another fragment (first kept)
    uint64_t duplicates;    // fragments whose bytes were all held already, identical
    uint64_t tiny;          // first fragments too short for their transport header
    uint64_t inconsistent;  // fragments at odds with the datagram (lengths, ends, too many holes)
    uint64_t dropped;       // datagrams given up to make room (datagram limit)

    // With filter_ipfrag_keep_carriers, copies of the fragments held, so that
    // a datagram handed on can be written out as the fragments it came in.
    uint8_t keep_carriers;
    uint64_t carriers_lost;  // datagrams whose fragments were asked for and not all held

    filter_layer_t decoder;  // decodes reassembled datagrams; its records make the chain
    void* state;
} filter_ipfrag_t;

core_log_t* filter_ipfrag_log();
void filter_ipfrag_init(filter_ipfrag_t* self);
void filter_ipfrag_destroy(filter_ipfrag_t* self);
void filter_ipfrag_set_max_datagrams(filter_ipfrag_t* self, uint32_t max_datagrams);
void filter_ipfrag_keep_carriers(filter_ipfrag_t* self, uint32_t bytes_per_datagram);
int filter_ipfrag_carriers(filter_ipfrag_t* self, const core_object_t* obj, core_receiver_t recv, void* ctx);
core_receiver_t filter_ipfrag_receiver(filter_ipfrag_t* self);
core_producer_t filter_ipfrag_producer(filter_ipfrag_t* self);

}  // extern "C"
