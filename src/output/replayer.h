#pragma once
// Replayer: sends the DNS queries of an input to one server the way the
// captured clients sent them, and measures what comes back. Every client
// address gets its own UDP socket or TCP/TLS connection (or N sockets are
// shared in turn); an answer belongs to the query in flight on the same
// socket with the same id and the same question; each answered query's
// latency, send to receive on the monotonic clock, goes into a histogram for
// the run and one per wall-clock second. Queries are paced by capture time,
// a factor, a fixed gap or a target rate. A closed or reset connection has
// its unanswered queries sent once more on a new one. Every query read ends
// as answered, timed out or not sent.
//
// The run is driven in slices, so that a script can look at the counters
// (from any thread) between them; the seconds are kept for after the run:
//   output_replayer_input(self, produce, ctx, &reader->pkts);
//   while ((status = output_replayer_run(self, 200000000)) != OUTPUT_REPLAYER_DONE) {
//       if (status == OUTPUT_REPLAYER_INPUT_ENDED) output_replayer_input(self, NULL, NULL, NULL);  // or a new input
//   }
//   for (i = 0; i < output_replayer_seconds(self); i++) output_replayer_second(self, i, &second);
// With a shard (index I of N), only the clients numbered I, I+N, I+2N...
// in order of their first query are sent: N replayers reading the same
// input send every query once, each client's from one of them.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "lib/histogram.h"

extern "C" {

typedef enum output_replayer_transport : uint32_t {
    OUTPUT_REPLAYER_UDP = 1,
    OUTPUT_REPLAYER_TCP = 2,
    OUTPUT_REPLAYER_TLS = 3,
    OUTPUT_REPLAYER_DOH = 4,       // HTTP/2 over TLS, or over TCP with doh_h2c
} output_replayer_transport_t;

typedef enum output_replayer_pacing : uint32_t {
    OUTPUT_REPLAYER_FAST = 0,      // as fast as the window lets
    OUTPUT_REPLAYER_KEEP = 1,      // each capture gap after the previous send
    OUTPUT_REPLAYER_MULTIPLY = 2,  // each capture gap times `multiply`
    OUTPUT_REPLAYER_FIXED = 3,     // `fixed_ns` between two queries
    OUTPUT_REPLAYER_REALTIME = 4,  // capture time from the start, never ahead of it
    OUTPUT_REPLAYER_RATE = 5,      // `rate` queries per second, evenly spaced
} output_replayer_pacing_t;

typedef enum output_replayer_status : int32_t {
    OUTPUT_REPLAYER_DONE = 0,         // input over, nothing in flight
    OUTPUT_REPLAYER_RUNNING = 1,      // the slice ended
    OUTPUT_REPLAYER_INPUT_ENDED = 2,  // give a new input, or none to finish
    OUTPUT_REPLAYER_FAILED = -1,      // misuse (no server, no input)
} output_replayer_status_t;

#define OUTPUT_REPLAYER_RCODES 16

typedef enum output_replayer_outcome : uint32_t {
    OUTPUT_REPLAYER_ANSWERED = 0,
    OUTPUT_REPLAYER_TIMED_OUT = 1,
    OUTPUT_REPLAYER_NOT_SENT = 2,
} output_replayer_outcome_t;

// How one query ended at one server, handed to `on_done` as it happens;
// the bytes are lent for the call.
typedef struct output_replayer_done {
    uint64_t ordinal;           // the query's number among those read, from 1
    uint32_t target;            // the server, in the order connect added them
    output_replayer_outcome_t outcome;
    const uint8_t* query;
    size_t query_len;
    const uint8_t* answer;      // null unless answered
    size_t answer_len;
    uint64_t latency_ns;        // send to receive, when answered
} output_replayer_done_t;

typedef void (*output_replayer_done_fn)(void* ctx, const output_replayer_done_t* done);

// One server's share of the counters.
typedef struct output_replayer_target_counts {
    uint64_t sent;
    uint64_t answered;
    uint64_t timed_out;
    uint64_t not_sent;
} output_replayer_target_counts_t;

typedef struct output_replayer_counts {
    uint64_t read;            // queries taken from the input
    uint64_t sent;            // queries that reached the wire (a resend not again)
    uint64_t answered;
    uint64_t timed_out;       // sent, and no answer within the wait
    uint64_t not_sent;        // never reached the wire
    uint64_t unmatched;       // answers that matched no query in flight
    uint64_t malformed;       // answers without a readable header and question (in unmatched too)
    uint64_t truncated;       // answers with TC set
    uint64_t reconnects;      // connections opened again after one ended
    uint64_t resent;          // queries sent again on a new connection
    uint64_t send_errors;
    uint64_t receive_errors;
    uint64_t connect_errors;
    uint64_t sockets_opened;
    uint64_t sockets_evicted; // closed to stay under the socket limit
    uint64_t id_waits;        // sends held back: the id was in flight on that socket
    uint64_t skipped;         // input records that are not queries to the DNS port
    uint64_t http_errors;     // DoH answers with another status or content type (timed out too: no DNS answer)
    uint64_t rcodes[OUTPUT_REPLAYER_RCODES];
} output_replayer_counts_t;

typedef struct output_replayer_second {
    int64_t second;           // wall clock, seconds since the epoch
    uint64_t sent;
    uint64_t answered;
    uint64_t timed_out;
    uint64_t not_sent;
    uint64_t rcodes[OUTPUT_REPLAYER_RCODES];
    lib_histogram_t latency;
} output_replayer_second_t;

// Settings are read when the first input is given; the counters, the run's
// histogram and the finished second are the script's to read.
typedef struct output_replayer {
    core_log_t _log;
    output_replayer_transport_t transport;
    output_replayer_pacing_t pacing;
    double multiply;
    uint64_t fixed_ns;
    double rate;
    uint64_t max_gap_ns;         // longest capture gap kept when pacing; 0: any
    uint32_t window;             // queries in flight over the run
    uint64_t wait_ns;            // how long a query waits for its answer
    uint32_t clients;            // 0: a socket per captured client; N: N shared in turn
    uint64_t idle_ns;            // capture-time silence that closes a client's socket; 0: never
    uint32_t queries_per_conn;   // 0: no limit
    uint32_t max_sockets;
    uint32_t max_attempts;       // sends of one query, the first included
    uint16_t dns_port;           // queries are what the capture sent to this port
    uint8_t doh_get;             // DoH: GET ?dns= instead of POST
    uint8_t doh_h2c;             // DoH: plain HTTP/2 with prior knowledge, no TLS
    uint8_t verify;              // DoH: check the certificate and the name
    const char* doh_path;        // DoH: the URI path; null: /dns-query
    const char* ca_file;         // with verify: trust these instead of the system store
    const char* server_name;     // TLS name and :authority; null: the host given
    uint32_t shard_index;
    uint32_t shard_count;        // 0 or 1: every client
    uint8_t stopping;            // set (from any thread): read no more input, wait for what is in flight
    output_replayer_done_fn on_done;  // each query's end at each server, when set before the run
    void* on_done_ctx;
    // With several servers every query goes to each: sent, answered,
    // timed_out and not_sent count once per server.
    output_replayer_counts_t counts;
    double first_sent;           // wall clock, seconds since the epoch; 0 until a query went
    double last_sent;
    lib_histogram_t latency;
    void* state;
} output_replayer_t;

core_log_t* output_replayer_log();
output_replayer_t* output_replayer_new();
void output_replayer_free(output_replayer_t* self);
// Resolves a server and adds it (before the run: the first is 0, the next
// 1...); 0, or -1 after a critical line.
int output_replayer_connect(output_replayer_t* self, const char* host, const char* port);
// The next input: a producer of decoded records, and the reader's packet
// count, which tells the end of the input (a null with the count unchanged)
// from a packet the decoder dropped. A null producer: no more input. A later
// input is paced as if it followed the previous one.
void output_replayer_input(output_replayer_t* self, core_producer_t produce, void* ctx, const size_t* packets);
// An input fed from another thread: a null from `produce` while `*waiting`
// is set means nothing yet (looked at again within 100 us), a null with it
// clear the end.
void output_replayer_input_waiting(output_replayer_t* self, core_producer_t produce, void* ctx, const uint8_t* waiting);
// Runs for at most `slice_ns`.
output_replayer_status_t output_replayer_run(output_replayer_t* self, uint64_t slice_ns);
// The wall-clock seconds in which anything happened, in order; a second is
// whole once the run is done.
size_t output_replayer_seconds(const output_replayer_t* self);
// Fills `out` with second `index`; 0, or -1 when there is none.
int output_replayer_second(const output_replayer_t* self, size_t index, output_replayer_second_t* out);
// A new rate for RATE pacing, counted from now.
void output_replayer_set_rate(output_replayer_t* self, double rate);
uint32_t output_replayer_in_flight(const output_replayer_t* self);
// A server's share of the counters; 0, or -1 when there is no such server.
int output_replayer_target_counts(const output_replayer_t* self, uint32_t target,
                                  output_replayer_target_counts_t* out);
uint32_t output_replayer_open_sockets(const output_replayer_t* self);
// Raises the descriptor limit to its hard limit; the limit now in force.
uint64_t output_replayer_raise_fd_limit();

}  // extern "C"
