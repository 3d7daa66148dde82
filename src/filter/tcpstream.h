#pragma once
// TCP stream reassembly: sits behind the layer decoder (and the IP fragment
// reassembler), follows each TCP flow in both directions and hands on every
// whole DNS message (two-byte length framing) as a payload record whose chain
// is the segment that completed it: payload -> tcp -> ip -> link -> pcap.
// Everything that is not a TCP payload of a followed flow passes unchanged.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/object/payload.h"
#include "core/timespec.h"
#include "filter/ipfrag.h"

extern "C" {

typedef struct filter_tcpstream {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    core_producer_t prod;
    void* prod_ctx;

    // Limits, set through the functions below (they reallocate and forget
    // every flow). `idle_timeout` (capture time) may be written at any time.
    uint32_t max_flows;      // flows followed at once
    uint32_t max_buffers;    // directions holding bytes at once
    uint32_t buffer_size;    // bytes one direction may hold
    uint16_t port;           // followed flows have this port on one side; 0 any
    core_timespec_t idle_timeout;

    // Counters.
    uint64_t segments;             // TCP segments of followed flows
    uint64_t messages;             // DNS messages handed on
    uint64_t gaps;                 // holes given up on (bytes never seen)
    uint64_t retransmitted_bytes;  // bytes already passed on, seen again
    uint64_t overlap_bytes;        // bytes already held out of order, seen again
    uint64_t resync_bytes;         // bytes dropped looking for a message start
    uint64_t truncated;            // partial messages left when a flow closed
    uint64_t flows_dropped;        // flows given up on to make room (flow limit)
    uint64_t buffer_overflows;     // data not held: buffer limit or no buffer free
    uint64_t idle_expired;         // flows forgotten after the idle timeout
    uint64_t flows;                // flows followed now

    // With filter_tcpstream_keep_carriers, copies of the segments under the
    // bytes held, so that a message handed on can be written out as the
    // segments it came in; segments the IP fragment reassembler put together
    // are kept as their fragments when `fragments` is that reassembler.
    uint8_t keep_carriers;
    uint64_t carriers_lost;  // messages whose segments were asked for and not all held
    filter_ipfrag_t* fragments;

    core_object_payload_t payload;  // the message handed on
    void* state;
} filter_tcpstream_t;

core_log_t* filter_tcpstream_log();
void filter_tcpstream_init(filter_tcpstream_t* self);
void filter_tcpstream_destroy(filter_tcpstream_t* self);
void filter_tcpstream_set_max_flows(filter_tcpstream_t* self, uint32_t max_flows);
void filter_tcpstream_set_buffers(filter_tcpstream_t* self, uint32_t count, uint32_t size);
void filter_tcpstream_keep_carriers(filter_tcpstream_t* self, uint32_t bytes_per_buffer);
int filter_tcpstream_carriers(filter_tcpstream_t* self, const core_object_t* obj, core_receiver_t recv, void* ctx);
core_receiver_t filter_tcpstream_receiver(filter_tcpstream_t* self);
core_producer_t filter_tcpstream_producer(filter_tcpstream_t* self);

}  // extern "C"
