#pragma once
// Replay feed: one reader's queries spread over the lanes of several replay
// workers, by client. Clients are numbered in order of their first query,
// and with a shard (index I of N hosts) the host keeps the numbers that are
// I modulo N and its lane K the numbers I + N*K modulo N*lanes, the rule
// replayers that each read the whole input use, so that hosts with
// different lane counts still split the clients between them.
//
// A lane is a channel of queries copied into slots of its own, so the
// reader's buffers are free again at once; a worker's replayer takes them
// through output_replay_feed_produce, which tells "nothing yet" from the
// end by the lane's waiting flag. Nothing is allocated per query once a
// slot has held its largest message.
//   output_replay_feed_t* feed = output_replay_feed_new(2, 4096);
//   output_replay_feed_input(feed, produce, ctx, &reader->pkts);
//   while ((status = output_replay_feed_pump(feed, 5000000)) != OUTPUT_REPLAY_FEED_ENDED) {
//       if (status == OUTPUT_REPLAY_FEED_FULL) wait a little;
//   }
//   output_replay_feed_close(feed);   // the lanes end once drained
//   // each worker: output_replayer_input_waiting(rp, output_replay_feed_produce,
//   //     lane, output_replay_feed_waiting(lane)) with lane = output_replay_feed_lane(feed, k)
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"

extern "C" {

typedef enum output_replay_feed_status : int32_t {
    OUTPUT_REPLAY_FEED_FULL = 0,     // a lane is full: pump again once its worker took some
    OUTPUT_REPLAY_FEED_ENDED = 1,    // the input gave its last record: a new input, or close
    OUTPUT_REPLAY_FEED_RUNNING = 2,  // the slice is used up
} output_replay_feed_status_t;

typedef struct output_replay_feed_lane output_replay_feed_lane_t;

typedef struct output_replay_feed {
    core_log_t _log;
    uint32_t lanes;
    uint16_t dns_port;      // queries are what the capture sent to this port
    uint32_t shard_index;
    uint32_t shard_count;   // 0 or 1: every client is this host's
    uint64_t records;       // records taken from the inputs
    uint64_t queries;       // queries handed to a lane
    uint64_t skipped;       // records that are not queries to the DNS port
    uint64_t elsewhere;     // queries of clients in other hosts' shards
    void* state;
} output_replay_feed_t;

core_log_t* output_replay_feed_log();
// `capacity`: the queries a lane holds, a power of two from 4.
output_replay_feed_t* output_replay_feed_new(uint32_t lanes, size_t capacity);
void output_replay_feed_free(output_replay_feed_t* self);
void output_replay_feed_shard(output_replay_feed_t* self, uint32_t index, uint32_t count);
// The next input, as a replayer takes one: a producer of decoded records and
// the reader's packet count (a null with the count unchanged is the end).
void output_replay_feed_input(output_replay_feed_t* self, core_producer_t produce, void* ctx, const size_t* packets);
// Moves queries into the lanes for at most `slice_ns`.
output_replay_feed_status_t output_replay_feed_pump(output_replay_feed_t* self, uint64_t slice_ns);
// No more queries: each lane ends once its worker took what it holds.
void output_replay_feed_close(output_replay_feed_t* self);
output_replay_feed_lane_t* output_replay_feed_lane(output_replay_feed_t* self, uint32_t index);
// The worker's side of a lane (its thread only).
const core_object_t* output_replay_feed_produce(void* lane);
const uint8_t* output_replay_feed_waiting(const output_replay_feed_lane_t* lane);
core_producer_t output_replay_feed_producer();

}  // extern "C"
