#pragma once
// Diff store: pairs every query of a replay with its own answers from two
// servers and stores each pair in a response-diff writer, in the order the
// queries were read, once both servers' outcomes are in.
//
// Live mode: the replayer sends every query to two servers; its completion
// hook hands each outcome here (server 0 is target 0, server 1 target 1).
// Capture mode: server 0 is the response the capture holds. The store sits
// in front of the replayer as a producer, sees every record the replayer
// reads, and pairs a captured response with the captured query from the same
// client address and port, over the same transport, with the same id and
// question, within a capture-time wait; the replayer's one server is server 1.
//   output_diffstore_t* ds = output_diffstore_new();
//   ds->capture_mode = 1;  ds->dns_port = 53;  ds->capture_wait_ns = 3e9;
//   output_diffstore_writer(ds, writer);
//   output_diffstore_upstream(ds, decoder_produce, decoder_ctx);
//   replayer input: output_diffstore_producer(ds), ds;  replayer->on_done = output_diffstore_done, ctx ds
//   ...run the replayer to the end...
//   output_diffstore_finish(ds);   // gives up what is still awaited, stores the rest
// Queries that could not be sent to a live server are left out (the database
// would read them as the server's silence), and so are queries whose
// response the capture does not hold, in capture mode.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "output/replayer.h"
#include "output/respdiff.h"

extern "C" {

typedef struct output_diffstore_counts {
    uint64_t queries;          // queries seen, each once
    uint64_t stored;
    uint64_t no_original;      // left out: no response to it in the capture within the wait
    uint64_t not_sent;         // left out: a live server never got it
    uint64_t over_limit;       // left out: the store's byte limit was reached
    uint64_t answered[2];      // per database server
    uint64_t timed_out[2];     // sent, and no answer within the wait
    uint64_t send_failed[2];   // never reached that server
    uint64_t stray_originals;  // captured responses that match no captured query
    uint64_t unknown_ordinals; // outcomes for queries this store never saw (a wiring fault)
} output_diffstore_counts_t;

typedef struct output_diffstore {
    core_log_t _log;
    uint8_t capture_mode;        // server 0 is the capture's own response
    uint16_t dns_port;           // capture mode: queries went to it, responses came from it
    uint64_t capture_wait_ns;    // capture time a response may follow its query
    uint32_t max_awaited;        // capture mode: queries awaiting their response at most (oldest given up)
    uint64_t store_limit;        // bytes of entries the writer may take; 0: no limit
    uint8_t full;                // set once an entry would pass store_limit; nothing is stored after it
    uint64_t stored_bytes;       // what the stored entries took, their bytes and per-entry overhead
    output_diffstore_counts_t counts;
    output_respdiff_t* writer;
    void* state;
} output_diffstore_t;

core_log_t* output_diffstore_log();
output_diffstore_t* output_diffstore_new();
void output_diffstore_free(output_diffstore_t* self);
void output_diffstore_writer(output_diffstore_t* self, output_respdiff_t* writer);
// Capture mode: where the records come from; the store hands each on unchanged.
void output_diffstore_upstream(output_diffstore_t* self, core_producer_t produce, void* ctx);
core_producer_t output_diffstore_producer(output_diffstore_t* self);
// The replayer's completion hook, with the store as its context.
void output_diffstore_done(void* ctx, const output_replayer_done_t* done);
// The input is over and the replay done: responses still awaited are given
// up and every entry whose outcomes are all in is stored.
void output_diffstore_finish(output_diffstore_t* self);
// Queries held, not stored or left out yet.
uint64_t output_diffstore_pending(const output_diffstore_t* self);

}  // extern "C"
