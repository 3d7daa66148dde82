#include "output/replayer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <type_traits>
#include <memory>
#include <unistd.h>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "core/detail/clock_ns.h"
#include "core/detail/dns_exchange.h"
#include "core/detail/dns_question.h"
#include "core/detail/doh_session.h"
#include "core/detail/flow_table.h"
#include "core/detail/inflight.h"
#include "core/detail/log.h"
#include "core/detail/socket.h"
#include "core/detail/tls_read_ahead.h"
#include "core/detail/stream_frame.h"
#include "core/object/payload.h"

static_assert(std::is_standard_layout_v<output_replayer_t>);

namespace {

core_log_t module_log = core_log_module_init("output.replayer");

constexpr uint32_t none = UINT32_MAX;
constexpr uint64_t second_ns = 1000000000ull;
constexpr size_t datagram_batch = 16;
constexpr size_t datagram_room = 65536;
// How soon a fed input that ran dry is looked at again: its feeder is
// normally far ahead, so this is seldom waited out.
constexpr uint64_t starved_look_ns = 100000;

constexpr output_replayer_t make_defaults()
{
    output_replayer_t d{};
    d._log = core_log_object_init("output.replayer", module_log);
    d.transport = OUTPUT_REPLAYER_UDP;
    d.pacing = OUTPUT_REPLAYER_FAST;
    d.multiply = 1.0;
    d.window = 100;
    d.wait_ns = 2 * second_ns;
    d.max_sockets = 1024;
    d.max_attempts = 2;
    d.dns_port = 53;
    d.latency = LIB_HISTOGRAM_EMPTY;
    return d;
}

constexpr output_replayer_t defaults = make_defaults();

using tvx::monotonic_ns;
using tvx::wall_ns;

// A client as the capture names it: its address (zero-filled, so that the
// flow table can compare keys by their bytes).
struct ClientKey {
    uint8_t family;
    uint8_t addr[16];
    uint8_t target;  // a client has a socket to each server
};

struct ClientKeyHash {
    size_t operator()(const ClientKey& key) const { return tvx::hash_bytes(&key, sizeof(key), 0x5eed); }
};

struct ClientKeyEqual {
    bool operator()(const ClientKey& a, const ClientKey& b) const { return memcmp(&a, &b, sizeof(a)) == 0; }
};

// A finished second, its histogram kept as its non-empty buckets.
struct Second {
    output_replayer_second_t counts;  // histogram left empty
    std::vector<std::pair<uint32_t, uint64_t>> buckets;
};

struct Client {
    uint32_t conn = none;
    uint64_t last_capture_ns = 0;
};

enum class ConnState : uint8_t { unused, backoff, connecting, handshaking, open };

struct Conn;

// What a DoH session's completions need to find their connection again
// (the connection itself may move when the table grows).
struct DohLink {
    output_replayer_t* self;
    void* state;
    uint32_t index;
};

// One socket to the server. Stream connections queue what they could not
// write yet and gather what they read until a frame is whole; a DoH
// connection hands its queries to its HTTP/2 session instead.
struct Conn {
    int fd = -1;
    uint32_t generation = 0;
    ConnState state = ConnState::unused;
    bool established = false;  // connected (and the handshake done) at least once
    bool retiring = false;     // takes no more queries; closes once empty
    uint8_t target = 0;        // the server it goes to
    bool want_write = false;   // EPOLLOUT registered
    bool dirty = false;        // frames queued since the last flush: on the list to flush
    uint32_t client = none;    // the client slot that sends on it, if any
    uint32_t in_flight = 0;
    uint32_t queries = 0;
    uint64_t retry_at_ns = 0;
    gnutls_session_t tls = nullptr;
    std::unique_ptr<tvx::tls::ReadAhead> ahead;  // the session's reads
    std::vector<uint8_t> out;
    size_t out_done = 0;
    uint64_t written = 0;      // stream bytes written over the connection's life
    uint64_t queued = 0;       // stream bytes handed to it over its life
    std::vector<uint8_t> in;
    size_t in_held = 0;
    uint32_t next_free = none;
    std::unique_ptr<tvx::doh::Session> doh;
    std::unique_ptr<DohLink> link;
    std::vector<uint64_t> doh_waiting;  // tags of the slots the session could not take yet
};

// What a slot keeps beside its place in the in-flight table.
struct SlotData {
    tvx::dns::Question question;
    uint64_t frame_end = 0;  // a stream's byte count once its frame is written
    uint8_t attempts = 0;
    bool on_wire = false;    // this attempt's bytes left
    bool ever_sent = false;  // some attempt's bytes left
    uint32_t use = 0;        // how often the slot was taken: a DoH tag names one use
    uint32_t client = none;
    uint64_t ordinal = 0;    // the query's number in the input, from 1
    std::vector<uint8_t> bytes;  // the query, kept for a stream to send again
};

// The query read from the input and not yet sent.
struct Pending {
    bool have = false;
    const uint8_t* bytes = nullptr;
    size_t len = 0;
    tvx::dns::Question question;
    ClientKey key{};
    uint64_t due_ns = 0;
    uint64_t capture_ns = 0;
    uint64_t ordinal = 0;
    uint8_t target = 0;        // the next server it goes to
    bool id_wait_counted = false;
};

struct State {
    std::vector<tvx::net::Resolved> servers;
    std::vector<output_replayer_target_counts_t> per_target;
    bool started = false;
    int epoll_fd = -1;
    gnutls_certificate_credentials_t cred = nullptr;

    core_producer_t produce = nullptr;
    void* produce_ctx = nullptr;
    const size_t* packets = nullptr;
    const uint8_t* waiting = nullptr;  // set while an input fed from elsewhere may still give more
    bool starved = false;       // such an input had nothing at the last look
    bool input_ended = false;   // the current input gave its last record
    bool input_reported = false;
    bool finished = false;      // no more input will come

    tvx::FlowTable<ClientKey, Client> clients;
    std::vector<Conn> conns;
    // Connections with frames queued in this turn of the loop: written once
    // each at its end, so that queries due together leave in one write.
    std::vector<uint32_t> dirty;
    uint32_t free_conn = none;
    uint32_t open_conns = 0;
    // The N shared connections of each server, when clients = N.
    std::vector<std::vector<uint32_t>> shared;
    std::vector<uint32_t> next_shared;

    tvx::InFlight inflight;
    std::vector<SlotData> slots;
    Pending pending;

    // Pacing: capture time as the run goes, gaps capped, and the anchors.
    bool have_capture_ts = false;
    uint64_t prev_ts_ns = 0;
    uint64_t capture_ns = 0;
    uint64_t start_ns = 0;
    uint64_t last_send_ns = 0;
    uint64_t rate_origin_ns = 0;
    uint64_t rate_count = 0;
    double applied_rate = 0;

    // Backoff after connections that could not be made.
    uint32_t connect_failures = 0;
    // Connections waiting out a backoff, as (index, generation): a place
    // that ended or was reused since is passed over.
    std::vector<std::pair<uint32_t, uint32_t>> backoffs, due;

    // DoH completions are acted on after the session's call returns: a
    // session must not be closed or given queries from inside its callbacks.
    bool in_session = false;
    struct Again {
        uint32_t conn;
        uint64_t tag;
        bool same_conn;  // a stream reset: the connection itself goes on
    };
    std::vector<Again> doh_again;
    std::vector<std::string> hosts, ports;  // as given, for TLS names and :authority

    int64_t wall_offset_ns = 0;  // wall clock minus monotonic clock
    output_replayer_second_t current{};
    std::vector<Second> series;

    // Every client seen, numbered in order of its first query, for shards.
    std::unordered_map<ClientKey, uint32_t, ClientKeyHash, ClientKeyEqual> numbered;
    // Datagrams read in one call, each with room for the largest.
    std::vector<uint8_t> datagrams;
};

output_replayer_t* checked(output_replayer_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return self;
}

State& state_of(output_replayer_t* self)
{
    return *static_cast<State*>(self->state);
}

// Another thread may set the flag while the run goes.
bool stopping(const output_replayer_t* self)
{
    return __atomic_load_n(&self->stopping, __ATOMIC_RELAXED) != 0;
}

bool streamed(const output_replayer_t* self)
{
    return self->transport != OUTPUT_REPLAYER_UDP;
}

bool over_doh(const output_replayer_t* self)
{
    return self->transport == OUTPUT_REPLAYER_DOH;
}

uint64_t doh_tag(const State& st, uint32_t slot)
{
    return (uint64_t(st.slots[slot].use) << 32) | slot;
}

// Whether a tag still names a query in flight on that connection.
bool live_tag(const State& st, uint32_t index, uint64_t tag)
{
    const uint32_t slot = static_cast<uint32_t>(tag);
    return slot < st.inflight.capacity() && st.inflight[slot].conn == index && doh_tag(st, slot) == tag;
}

int64_t wall_second(const State& st, uint64_t now)
{
    return (int64_t(now) + st.wall_offset_ns) / int64_t(second_ns);
}

void reset_second(output_replayer_second_t& second, int64_t at)
{
    second.second = at;
    second.sent = second.answered = second.timed_out = second.not_sent = 0;
    memset(second.rcodes, 0, sizeof(second.rcodes));
    lib_histogram_init(&second.latency);
}

bool second_active(const output_replayer_second_t& second)
{
    return second.sent || second.answered || second.timed_out || second.not_sent;
}

// Keeps the second that ended before `now` when anything happened in it.
void roll_second(State& st, uint64_t now)
{
    const int64_t at = wall_second(st, now);
    if (at == st.current.second) {
        return;
    }
    if (second_active(st.current)) {
        Second kept;
        kept.counts = st.current;
        for (uint32_t i = 0; i < LIB_HISTOGRAM_BUCKETS; i++) {
            if (st.current.latency.buckets[i]) {
                kept.buckets.emplace_back(i, st.current.latency.buckets[i]);
            }
        }
        lib_histogram_init(&kept.counts.latency);
        kept.counts.latency.count = st.current.latency.count;
        kept.counts.latency.min_ns = st.current.latency.min_ns;
        kept.counts.latency.max_ns = st.current.latency.max_ns;
        kept.counts.latency.sum_ns = st.current.latency.sum_ns;
        kept.counts.latency.sum_sq_ns = st.current.latency.sum_sq_ns;
        st.series.push_back(std::move(kept));
    }
    reset_second(st.current, at);
}

// ---- connections ----

uint32_t conn_index(const State& st, const Conn& conn)
{
    return static_cast<uint32_t>(&conn - st.conns.data());
}

uint64_t event_key(const State& st, const Conn& conn)
{
    return (uint64_t(conn.generation) << 32) | conn_index(st, conn);
}

void watch(output_replayer_t* self, State& st, Conn& conn, bool write)
{
    struct epoll_event ev {};
    ev.events = EPOLLIN | (write ? uint32_t(EPOLLOUT) : 0u);
    ev.data.u64 = event_key(st, conn);
    if (epoll_ctl(st.epoll_fd, EPOLL_CTL_MOD, conn.fd, &ev) != 0) {
        TVX_CRITICAL(self, "epoll_ctl() error %s", core_log_errstr(errno));
    }
    conn.want_write = write;
}

uint32_t new_conn(State& st)
{
    uint32_t index = st.free_conn;
    if (index != none) {
        st.free_conn = st.conns[index].next_free;
    } else {
        index = static_cast<uint32_t>(st.conns.size());
        st.conns.emplace_back();
    }
    Conn& conn = st.conns[index];
    const uint32_t generation = conn.generation + 1;
    std::vector<uint8_t> out = std::move(conn.out);
    std::vector<uint8_t> in = std::move(conn.in);
    std::vector<uint64_t> waiting = std::move(conn.doh_waiting);
    conn = Conn{};
    waiting.clear();
    conn.doh_waiting = std::move(waiting);
    conn.generation = generation;
    // Buffers keep their room for the next connection in this place.
    out.clear();
    conn.out = std::move(out);
    conn.in = std::move(in);
    return index;
}

void close_fd(State& st, Conn& conn)
{
    if (conn.doh) {
        // The session owns the socket; what it still has open is over for
        // the run already (answered, timed out or moved), so it tells nobody.
        // A session that ended closed its socket already, and the number
        // may belong to a newer socket by now: only its own is taken off.
        if (conn.fd >= 0) {
            if (conn.doh->fd() == conn.fd) {
                epoll_ctl(st.epoll_fd, EPOLL_CTL_DEL, conn.fd, nullptr);
            }
            st.open_conns--;
        }
        conn.doh->on_complete(nullptr, nullptr);
        conn.doh->close();
        conn.doh.reset();
        conn.fd = -1;
        return;
    }
    if (conn.tls) {
        if (conn.state == ConnState::open) {
            gnutls_bye(conn.tls, GNUTLS_SHUT_WR);
        }
        gnutls_deinit(conn.tls);
        conn.tls = nullptr;
        conn.ahead.reset();
    }
    if (conn.fd >= 0) {
        epoll_ctl(st.epoll_fd, EPOLL_CTL_DEL, conn.fd, nullptr);
        close(conn.fd);
        conn.fd = -1;
        st.open_conns--;
    }
}

void release_conn(State& st, uint32_t index)
{
    Conn& conn = st.conns[index];
    close_fd(st, conn);
    conn.state = ConnState::unused;
    conn.generation++;
    conn.next_free = st.free_conn;
    st.free_conn = index;
}

// Starts the socket of a connection: a connected UDP socket, or a
// non-blocking TCP connect whose end the event loop sees. False when no
// socket could be made.
bool start_socket(output_replayer_t* self, State& st, Conn& conn)
{
    const int type = streamed(self) ? SOCK_STREAM : SOCK_DGRAM;
    const tvx::net::Resolved& server = st.servers[conn.target];
    conn.fd = socket(server.family(), type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (conn.fd < 0) {
        self->counts.connect_errors++;
        return false;
    }
    st.open_conns++;
    self->counts.sockets_opened++;
    if (type == SOCK_STREAM) {
        const int one = 1;
        setsockopt(conn.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    const int rc = connect(conn.fd, reinterpret_cast<const struct sockaddr*>(&server.addr), server.addr_len);
    if (rc != 0 && errno != EINPROGRESS) {
        self->counts.connect_errors++;
        close_fd(st, conn);
        return false;
    }
    // A stream goes on from the writable event: connect's end, the TLS
    // handshake, the first flush.
    conn.state = type == SOCK_STREAM ? ConnState::connecting : ConnState::open;
    struct epoll_event ev {};
    ev.events = EPOLLIN | (type == SOCK_STREAM ? uint32_t(EPOLLOUT) : 0u);
    ev.data.u64 = event_key(st, conn);
    if (epoll_ctl(st.epoll_fd, EPOLL_CTL_ADD, conn.fd, &ev) != 0) {
        TVX_CRITICAL(self, "epoll_ctl() error %s", core_log_errstr(errno));
        close_fd(st, conn);
        return false;
    }
    conn.want_write = type == SOCK_STREAM;
    if (type == SOCK_DGRAM) {
        conn.established = true;
    }
    return true;
}

// Consecutive failed connects wait 10 ms, 20 ms, ... up to one second
// before the next try, so a dead server is not hammered.
uint64_t backoff_ns(uint32_t failures)
{
    if (failures == 0) {
        return 0;
    }
    const uint32_t shift = std::min<uint32_t>(failures - 1, 7);
    return std::min<uint64_t>(10000000ull << shift, second_ns);
}

uint32_t open_conn(output_replayer_t* self, State& st, uint32_t client, uint8_t target, uint64_t now)
{
    const uint32_t index = new_conn(st);
    Conn& conn = st.conns[index];
    conn.client = client;
    conn.target = target;
    const uint64_t wait = backoff_ns(st.connect_failures);
    if (wait && streamed(self)) {
        conn.state = ConnState::backoff;
        conn.retry_at_ns = now + wait;
        st.backoffs.emplace_back(index, conn.generation);
        return index;
    }
    if (!start_socket(self, st, conn)) {
        conn.state = ConnState::backoff;
        st.connect_failures++;
        conn.retry_at_ns = now + backoff_ns(st.connect_failures);
        st.backoffs.emplace_back(index, conn.generation);
    }
    return index;
}

void end_slot(output_replayer_t* self, State& st, uint32_t slot, bool answered);
void take_answer(output_replayer_t* self, State& st, uint32_t index, const uint8_t* bytes, size_t len, uint64_t now);
void fail_conn(output_replayer_t* self, State& st, uint32_t index, uint64_t now);
void send_refused_again(output_replayer_t* self, State& st, uint64_t now);
void forget_conn(State& st, uint32_t index);

// ---- sending ----

// The framed query goes to the end of the connection's queue; the slot
// remembers where its frame ends, so it knows when it is on the wire.
void queue_frame(State& st, Conn& conn, uint32_t slot)
{
    SlotData& data = st.slots[slot];
    uint8_t field[tvx::stream::length_field_size];
    tvx::stream::put_length_field(field, data.bytes.size());
    conn.out.insert(conn.out.end(), field, field + sizeof(field));
    conn.out.insert(conn.out.end(), data.bytes.begin(), data.bytes.end());
    conn.queued += sizeof(field) + data.bytes.size();
    data.frame_end = conn.queued;
}

void mark_on_wire(output_replayer_t* self, State& st, uint32_t slot)
{
    SlotData& data = st.slots[slot];
    data.on_wire = true;
    if (!data.ever_sent) {
        data.ever_sent = true;
        st.per_target[st.conns[st.inflight[slot].conn].target].sent++;
        self->counts.sent++;
        st.current.sent++;
        const double wall = double(int64_t(monotonic_ns()) + st.wall_offset_ns) / 1e9;
        if (self->first_sent == 0) {
            self->first_sent = wall;
        }
        self->last_sent = wall;
    }
}

// Writes what the connection holds. False when the connection failed.
bool flush(output_replayer_t* self, State& st, uint32_t index)
{
    Conn& conn = st.conns[index];
    while (conn.out_done < conn.out.size()) {
        const uint8_t* at = conn.out.data() + conn.out_done;
        const size_t left = conn.out.size() - conn.out_done;
        ssize_t wrote;
        if (conn.tls) {
            wrote = gnutls_record_send(conn.tls, at, left);
            if (wrote == GNUTLS_E_AGAIN || wrote == GNUTLS_E_INTERRUPTED) {
                break;
            }
            if (wrote < 0) {
                self->counts.send_errors++;
                return false;
            }
        } else {
            wrote = send(conn.fd, at, left, MSG_NOSIGNAL);
            if (wrote < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    break;
                }
                self->counts.send_errors++;
                return false;
            }
        }
        conn.out_done += static_cast<size_t>(wrote);
        conn.written += static_cast<uint64_t>(wrote);
    }
    if (conn.out_done == conn.out.size()) {
        conn.out.clear();
        conn.out_done = 0;
    }
    // What was written is on the wire. Frames go in order of sending, so the
    // slots not yet on the wire are the newest: a walk from the newest back
    // to the first one already there touches only those.
    for (uint32_t slot = st.inflight.last_on(index); slot != tvx::InFlight::none; slot = st.inflight.prev_on(slot)) {
        if (st.slots[slot].on_wire) {
            break;
        }
        if (st.slots[slot].frame_end <= conn.written) {
            mark_on_wire(self, st, slot);
        }
    }
    const bool more = conn.out_done < conn.out.size();
    if (more != conn.want_write) {
        watch(self, st, conn, more);
    }
    return true;
}

// Hands the session the queries waiting for it, in order, as far as its
// stream limit lets. False when the connection cannot take any more (gone,
// or a GOAWAY came): the caller ends it.
bool submit_waiting(output_replayer_t* self, State& st, uint32_t index)
{
    Conn& conn = st.conns[index];
    size_t taken = 0;
    bool usable = true;
    while (taken < conn.doh_waiting.size()) {
        const uint64_t tag = conn.doh_waiting[taken];
        const uint32_t slot = static_cast<uint32_t>(tag);
        if (!live_tag(st, index, tag)) {
            taken++;  // timed out while it waited
            continue;
        }
        const SlotData& data = st.slots[slot];
        const int rc = conn.doh->submit(data.bytes.data(), data.bytes.size(), doh_tag(st, slot));
        if (rc == tvx::doh::Session::busy) {
            break;
        }
        if (rc == tvx::doh::Session::closed) {
            usable = false;
            break;
        }
        taken++;
        if (rc == tvx::doh::Session::submitted) {
            mark_on_wire(self, st, slot);
        }
        // An invalid message is left to time out: no server would answer it.
    }
    conn.doh_waiting.erase(conn.doh_waiting.begin(), conn.doh_waiting.begin() + taken);
    const bool outer = st.in_session;
    st.in_session = true;
    if (usable && st.conns[index].doh->on_writable() != 0) {
        usable = false;
    }
    st.in_session = outer;
    Conn& now_conn = st.conns[index];
    if (now_conn.doh && now_conn.doh->wants_write() != now_conn.want_write) {
        watch(self, st, now_conn, now_conn.doh->wants_write());
    }
    return usable;
}

// Puts a slot's query on a connection: a datagram goes at once, a frame
// joins the queue and goes when the connection can take it.
void put_on(output_replayer_t* self, State& st, uint32_t slot, uint32_t index, uint64_t now)
{
    Conn& conn = st.conns[index];
    SlotData& data = st.slots[slot];
    data.attempts++;
    conn.in_flight++;
    conn.queries++;
    if (self->queries_per_conn && conn.queries >= self->queries_per_conn) {
        conn.retiring = true;
    }
    if (!streamed(self)) {
        return;  // the caller sent the datagram
    }
    if (over_doh(self)) {
        data.use++;
        conn.doh_waiting.push_back(doh_tag(st, slot));
        if (conn.state == ConnState::open && !st.in_session) {
            const uint32_t generation = conn.generation;
            const bool usable = submit_waiting(self, st, index);
            send_refused_again(self, st, now);
            if (!usable && st.conns[index].generation == generation) {
                fail_conn(self, st, index, now);
            }
        }
        return;
    }
    queue_frame(st, conn, slot);
    if (conn.state == ConnState::open && !conn.dirty) {
        conn.dirty = true;
        st.dirty.push_back(index);
    }
    (void)now;
}

// Writes what the loop's turn queued on each connection.
void flush_dirty(output_replayer_t* self, State& st, uint64_t now)
{
    for (size_t i = 0; i < st.dirty.size(); i++) {
        const uint32_t index = st.dirty[i];
        Conn& conn = st.conns[index];
        if (!conn.dirty) {
            continue;  // ended, or written already
        }
        conn.dirty = false;
        if (conn.state == ConnState::open && !flush(self, st, index)) {
            fail_conn(self, st, index, now);
        }
    }
    st.dirty.clear();
}

// The connection a client sends on now: its own, opened when it has none or
// its old one retires. The socket limit closes the longest unused client's.
uint32_t conn_for_client(output_replayer_t* self, State& st, const ClientKey& key, uint64_t capture_ns, uint64_t now)
{
    auto* slot = st.clients.find(key);
    uint32_t inherited = none;
    if (!slot) {
        if (st.clients.full()) {
            auto* old = st.clients.oldest();
            if (old->value.conn != none) {
                Conn& conn = st.conns[old->value.conn];
                self->counts.sockets_evicted++;
                if (!streamed(self) && conn.in_flight == 0 && !conn.retiring && conn.target == key.target) {
                    // An idle datagram socket goes to the new client as it
                    // is: the same as closing one and opening another, less
                    // four system calls.
                    inherited = old->value.conn;
                } else {
                    conn.client = none;
                    conn.retiring = true;
                    if (conn.in_flight == 0) {
                        release_conn(st, old->value.conn);
                    }
                }
            }
            st.clients.remove(old);
        }
        slot = st.clients.insert(key);
        if (inherited != none) {
            slot->value.conn = inherited;
            st.conns[inherited].client = st.clients.index_of(slot);
        }
    }
    const uint32_t client = st.clients.index_of(slot);
    slot->value.last_capture_ns = capture_ns;
    uint32_t index = slot->value.conn;
    if (index != none && st.conns[index].retiring) {
        st.conns[index].client = none;
        if (st.conns[index].in_flight == 0) {
            release_conn(st, index);
        }
        index = none;
    }
    if (index == none) {
        index = open_conn(self, st, client, key.target, now);
        slot->value.conn = index;
    }
    return index;
}

// A client's socket closes after `idle_ns` of capture-time silence, once
// nothing it sent is in flight. The flow table keeps clients in order of
// their last query, so only the oldest need a look.
void close_idle(output_replayer_t* self, State& st)
{
    if (!self->idle_ns) {
        return;
    }
    while (auto* old = st.clients.oldest()) {
        if (old->value.last_capture_ns + self->idle_ns > st.capture_ns) {
            return;
        }
        if (old->value.conn != none) {
            Conn& conn = st.conns[old->value.conn];
            if (conn.in_flight) {
                return;
            }
            release_conn(st, old->value.conn);
        }
        st.clients.remove(old);
    }
}

uint32_t shared_conn(output_replayer_t* self, State& st, uint64_t now, uint16_t id, uint8_t target)
{
    std::vector<uint32_t>& shared = st.shared[target];
    const uint32_t count = static_cast<uint32_t>(shared.size());
    // In turn, passing over a socket where the id is in flight already.
    for (uint32_t tries = 0; tries < count; tries++) {
        const uint32_t which = st.next_shared[target];
        st.next_shared[target] = (which + 1) % count;
        uint32_t& index = shared[which];
        if (index != none && st.conns[index].retiring) {
            if (st.conns[index].in_flight == 0) {
                release_conn(st, index);
            }
            index = none;
        }
        if (index == none) {
            index = open_conn(self, st, none, target, now);
        }
        if (st.inflight.find(index, id) == tvx::InFlight::none) {
            return index;
        }
    }
    return none;
}

// Sends the pending query to its next server when the window, its socket
// and its id allow. False when it has to wait.
bool send_pending(output_replayer_t* self, State& st, uint64_t now)
{
    Pending& q = st.pending;
    if (st.inflight.full()) {
        return false;
    }
    uint32_t index;
    uint32_t client = none;
    q.key.target = q.target;
    if (self->clients) {
        index = shared_conn(self, st, now, q.question.id, q.target);
    } else {
        index = conn_for_client(self, st, q.key, q.capture_ns, now);
        client = st.conns[index].client;
        if (st.inflight.find(index, q.question.id) != tvx::InFlight::none) {
            index = none;
        }
    }
    if (index == none) {
        // Two queries with one id on one socket could not be told apart:
        // this one waits until the other is answered or times out.
        if (!q.id_wait_counted) {
            self->counts.id_waits++;
            q.id_wait_counted = true;
        }
        return false;
    }
    const uint32_t slot = st.inflight.add(index, q.question.id, now);
    SlotData& data = st.slots[slot];
    data.question = q.question;
    data.attempts = 0;
    data.on_wire = data.ever_sent = false;
    data.frame_end = 0;
    data.client = client;
    data.ordinal = q.ordinal;
    // Every server gets the query; the next one waits its turn, not its time.
    q.id_wait_counted = false;
    if (++q.target == st.servers.size()) {
        q.have = false;
        q.target = 0;
    }
    st.last_send_ns = now;
    if (streamed(self) || self->on_done) {
        data.bytes.assign(q.bytes, q.bytes + q.len);
    }
    if (streamed(self)) {
        put_on(self, st, slot, index, now);
        return true;
    }
    put_on(self, st, slot, index, now);
    const int fd = st.conns[index].fd;
    ssize_t wrote = send(fd, q.bytes, q.len, MSG_NOSIGNAL);
    if (wrote < 0 && errno == ECONNREFUSED) {
        wrote = send(fd, q.bytes, q.len, MSG_NOSIGNAL);
    }
    if (wrote == static_cast<ssize_t>(q.len)) {
        mark_on_wire(self, st, slot);
        return true;
    }
    // A connected datagram socket reports an earlier ICMP error on the next
    // send; anything else (a full buffer, no route) loses this query.
    self->counts.send_errors++;
    end_slot(self, st, slot, false);
    return true;
}

// ---- ending queries ----

void forget_conn(State& st, uint32_t index)
{
    Conn& conn = st.conns[index];
    if (conn.client != none && st.clients.at(conn.client).value.conn == index) {
        st.clients.at(conn.client).value.conn = none;
    }
    if (!st.shared.empty()) {
        for (uint32_t& shared : st.shared[conn.target]) {
            if (shared == index) {
                shared = none;
            }
        }
    }
}

// A retiring connection closes with its last answer, so a client that sends
// one query per connection never holds more than its queries in flight.
void conn_query_done(State& st, uint32_t index)
{
    Conn& conn = st.conns[index];
    conn.in_flight--;
    if (conn.retiring && conn.in_flight == 0 && !st.in_session) {
        forget_conn(st, index);
        release_conn(st, index);
    }
}

void tell_done(output_replayer_t* self, const SlotData& data, uint8_t target, output_replayer_outcome_t outcome,
               const uint8_t* answer, size_t answer_len, uint64_t latency)
{
    if (!self->on_done) {
        return;
    }
    const output_replayer_done_t done = {data.ordinal, target, outcome, data.bytes.data(), data.bytes.size(),
                                         answer, answer_len, latency};
    self->on_done(self->on_done_ctx, &done);
}

// A slot ends without an answer: timed out when it reached the wire, not
// sent when it never did.
void end_slot(output_replayer_t* self, State& st, uint32_t slot, bool answered)
{
    (void)answered;
    const uint32_t index = st.inflight[slot].conn;
    const SlotData& data = st.slots[slot];
    const uint8_t target = st.conns[index].target;
    if (data.ever_sent) {
        self->counts.timed_out++;
        st.current.timed_out++;
        st.per_target[target].timed_out++;
    } else {
        self->counts.not_sent++;
        st.current.not_sent++;
        st.per_target[target].not_sent++;
    }
    tell_done(self, data, target, data.ever_sent ? OUTPUT_REPLAYER_TIMED_OUT : OUTPUT_REPLAYER_NOT_SENT,
              nullptr, 0, 0);
    st.inflight.remove(slot);
    conn_query_done(st, index);
}

void expire(output_replayer_t* self, State& st, uint64_t now)
{
    for (uint32_t slot = st.inflight.oldest(); slot != tvx::InFlight::none; slot = st.inflight.oldest()) {
        if (st.inflight[slot].sent_ns + self->wait_ns > now) {
            return;
        }
        end_slot(self, st, slot, false);
    }
}

// A connection ended (closed, reset, failed to connect or to write). What
// it carried goes once more on a new connection of the same client while
// the query has attempts left; the rest ends here.
// Moves a query off a connection that ended or may take no more, onto the
// client's new connection (opened once for all the queries moved off one
// connection, in `replacement`), or ends it when its attempts are spent.
void send_again(output_replayer_t* self, State& st, uint32_t index, uint32_t slot, uint32_t& replacement,
                uint64_t now)
{
    SlotData& data = st.slots[slot];
    if (data.attempts >= self->max_attempts || stopping(self)) {
        end_slot(self, st, slot, false);
        return;
    }
    const uint32_t client = st.conns[index].client;
    const uint8_t target = st.conns[index].target;
    if (replacement == none) {
        replacement = open_conn(self, st, client, target, now);
        self->counts.reconnects++;
        if (client != none && st.clients.at(client).value.conn == index) {
            st.clients.at(client).value.conn = replacement;
        } else if (client == none && !st.shared.empty()) {
            for (uint32_t& shared : st.shared[target]) {
                if (shared == none || shared == index) {
                    shared = replacement;
                    break;
                }
            }
        }
    }
    if (data.ever_sent) {
        self->counts.resent++;
    }
    data.on_wire = false;
    st.conns[index].in_flight--;
    st.inflight.move(slot, replacement, now);
    st.slots[slot].frame_end = 0;
    put_on(self, st, slot, replacement, now);
}

// A connection ended (closed, reset, failed to connect or to write). What
// it carried goes once more on a new connection of the same client while
// the query has attempts left; the rest ends here.
void fail_conn(output_replayer_t* self, State& st, uint32_t index, uint64_t now)
{
    Conn& conn = st.conns[index];
    if (conn.established) {
        st.connect_failures = 0;
    } else {
        st.connect_failures++;
        if (conn.fd >= 0) {
            self->counts.connect_errors++;  // a socket whose connect or handshake failed
        }
    }
    close_fd(st, conn);
    conn.state = ConnState::unused;
    uint32_t replacement = none;
    for (uint32_t slot = st.inflight.first_on(index); slot != tvx::InFlight::none; slot = st.inflight.first_on(index)) {
        send_again(self, st, index, slot, replacement, now);
    }
    forget_conn(st, index);
    release_conn(st, index);
}

// ---- DNS over HTTPS ----

// A stream's end, as the session reports it inside its own call: answers
// are matched at once (the body is lent for the call), failures counted,
// and queries the server did not take are noted to go again afterwards.
void doh_completed(void* ctx, const tvx::doh::Completion& done)
{
    auto* link = static_cast<DohLink*>(ctx);
    output_replayer_t* self = link->self;
    State& st = *static_cast<State*>(link->state);
    const bool live = live_tag(st, link->index, done.tag);
    switch (done.kind) {
    case tvx::doh::Kind::answer:
        take_answer(self, st, link->index, done.body, done.len, monotonic_ns());
        break;
    case tvx::doh::Kind::bad_status:
    case tvx::doh::Kind::bad_type:
    case tvx::doh::Kind::too_long:
        self->counts.http_errors++;
        if (live) {
            end_slot(self, st, static_cast<uint32_t>(done.tag), false);
        }
        break;
    case tvx::doh::Kind::reset:
    case tvx::doh::Kind::refused:
    case tvx::doh::Kind::gone:
        if (live) {
            st.doh_again.push_back({link->index, done.tag, done.kind == tvx::doh::Kind::reset});
        }
        break;
    }
}

// What a session would not answer goes again: a reset stream on the same
// connection while it lasts, the rest on a new one; a connection that
// refused streams (a GOAWAY) takes no more and closes with its last answer.
void send_refused_again(output_replayer_t* self, State& st, uint64_t now)
{
    while (!st.doh_again.empty()) {
        std::vector<State::Again> again;
        again.swap(st.doh_again);
        uint32_t from = none, replacement = none;
        for (const State::Again& item : again) {
            const uint32_t conn = item.conn;
            const uint32_t slot = static_cast<uint32_t>(item.tag);
            if (!live_tag(st, conn, item.tag)) {
                continue;
            }
            Conn& c = st.conns[conn];
            if (item.same_conn && !c.retiring && c.doh && c.doh->usable()) {
                if (st.slots[slot].attempts >= self->max_attempts || stopping(self)) {
                    end_slot(self, st, slot, false);
                    continue;
                }
                self->counts.resent++;
                c.in_flight--;
                st.inflight.move(slot, conn, now);
                put_on(self, st, slot, conn, now);
                continue;
            }
            if (conn != from) {
                from = conn;
                replacement = none;
                c.retiring = true;
            }
            send_again(self, st, conn, slot, replacement, now);
        }
        for (const State::Again& item : again) {
            const uint32_t conn = item.conn;
            Conn& c = st.conns[conn];
            if (c.state != ConnState::unused && c.retiring && c.in_flight == 0) {
                forget_conn(st, conn);
                release_conn(st, conn);
            }
        }
    }
}

// After a session's call: what it would not answer goes again, a failed
// connection ends, and one that retired with its last answer closes.
void after_session(output_replayer_t* self, State& st, uint32_t index, uint32_t generation, bool ended, uint64_t now)
{
    send_refused_again(self, st, now);
    if (st.conns[index].generation != generation) {
        return;
    }
    if (ended || !st.conns[index].doh || !submit_waiting(self, st, index)) {
        fail_conn(self, st, index, now);
        return;
    }
    Conn& conn = st.conns[index];
    if (conn.retiring && conn.in_flight == 0) {
        forget_conn(st, index);
        release_conn(st, index);
    }
}

// The session of a connection whose TCP connect completed; it owns the
// socket from here.
bool start_doh(output_replayer_t* self, State& st, uint32_t index)
{
    Conn& conn = st.conns[index];
    conn.doh = std::make_unique<tvx::doh::Session>();
    conn.link = std::make_unique<DohLink>(DohLink{self, &st, index});
    conn.doh->on_complete(doh_completed, conn.link.get());
    tvx::doh::Options options;
    options.tls = !self->doh_h2c;
    options.get = self->doh_get != 0;
    options.verify = self->verify != 0;
    options.ca_file = self->ca_file;
    options.server_name = self->server_name;
    if (self->doh_path) {
        options.path = self->doh_path;
    }
    return conn.doh->attach(TVX_HERE, self, conn.fd, st.hosts[conn.target].c_str(), st.ports[conn.target].c_str(),
                            options) == 0;
}

void on_doh_event(output_replayer_t* self, State& st, uint32_t index, uint32_t generation, uint32_t events,
                  uint64_t now)
{
    st.in_session = true;
    int rc = 0;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        rc = st.conns[index].doh->on_readable();
    }
    if (rc == 0 && (events & EPOLLOUT)) {
        rc = st.conns[index].doh->on_writable();
    }
    st.in_session = false;
    after_session(self, st, index, generation, rc != 0, now);
}

// ---- receiving ----

void take_answer(output_replayer_t* self, State& st, uint32_t index, const uint8_t* bytes, size_t len, uint64_t now)
{
    tvx::dns::Question answer;
    if (!tvx::dns::read_header(bytes, len, answer)) {
        self->counts.malformed++;
        self->counts.unmatched++;
        return;
    }
    const bool has_question = answer.qdcount > 0;
    if (has_question && !tvx::dns::read_question(bytes, len, answer)) {
        self->counts.malformed++;
        self->counts.unmatched++;
        return;
    }
    const uint32_t slot = st.inflight.find(index, answer.id);
    if (slot == tvx::InFlight::none || answer.qr == 0) {
        self->counts.unmatched++;
        return;
    }
    const tvx::dns::Question& asked = st.slots[slot].question;
    // A server may answer some errors (FORMERR) without the question.
    const bool same = has_question ? asked.same_question(answer) : asked.name_len == 0 || answer.rcode != 0;
    if (!same) {
        self->counts.unmatched++;
        return;
    }
    const uint64_t latency = now > st.inflight[slot].sent_ns ? now - st.inflight[slot].sent_ns : 0;
    lib_histogram_add(&self->latency, latency);
    lib_histogram_add(&st.current.latency, latency);
    self->counts.answered++;
    st.current.answered++;
    st.per_target[st.conns[index].target].answered++;
    tell_done(self, st.slots[slot], st.conns[index].target, OUTPUT_REPLAYER_ANSWERED, bytes, len, latency);
    self->counts.rcodes[answer.rcode]++;
    st.current.rcodes[answer.rcode]++;
    if (answer.tc) {
        self->counts.truncated++;
    }
    st.connect_failures = 0;
    st.inflight.remove(slot);
    conn_query_done(st, index);
}

// Reads every datagram waiting. A pending error (an ICMP port unreachable)
// is counted and the socket goes on.
void read_datagrams(output_replayer_t* self, State& st, uint32_t index, uint32_t generation)
{
    if (st.datagrams.empty()) {
        st.datagrams.resize(datagram_batch * datagram_room);
    }
    struct mmsghdr messages[datagram_batch];
    struct iovec vectors[datagram_batch];
    for (size_t i = 0; i < datagram_batch; i++) {
        vectors[i] = {st.datagrams.data() + i * datagram_room, datagram_room};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    while (st.conns[index].generation == generation && st.conns[index].fd >= 0) {
        const int got = recvmmsg(st.conns[index].fd, messages, datagram_batch, MSG_DONTWAIT, nullptr);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            if (errno != EINTR) {
                self->counts.receive_errors++;
                return;
            }
            continue;
        }
        const uint64_t now = monotonic_ns();
        for (int i = 0; i < got && st.conns[index].generation == generation; i++) {
            take_answer(self, st, index, st.datagrams.data() + size_t(i) * datagram_room, messages[i].msg_len, now);
        }
        // A batch that was not full took all there was.
        if (size_t(got) < datagram_batch) {
            return;
        }
    }
}

// Hands out every whole frame in the connection's input, keeping the rest.
void take_frames(output_replayer_t* self, State& st, uint32_t index, uint32_t generation, uint64_t now)
{
    Conn& conn = st.conns[index];
    size_t at = 0;
    while (conn.in_held - at >= tvx::stream::length_field_size) {
        const size_t len = tvx::stream::read_length_field(conn.in.data() + at);
        if (conn.in_held - at < tvx::stream::length_field_size + len) {
            break;
        }
        take_answer(self, st, index, conn.in.data() + at + tvx::stream::length_field_size, len, now);
        if (st.conns[index].generation != generation) {
            return;  // released: its last query ended
        }
        at += tvx::stream::length_field_size + len;
    }
    if (at) {
        memmove(conn.in.data(), conn.in.data() + at, conn.in_held - at);
        conn.in_held -= at;
    }
}

// Reads what the stream has, then reports how it ended: false when the peer
// closed or the connection failed (after everything readable was taken).
bool read_stream(output_replayer_t* self, State& st, uint32_t index, uint32_t generation)
{
    while (true) {
        Conn& conn = st.conns[index];
        if (conn.in.size() < conn.in_held + 4096) {
            conn.in.resize(std::max<size_t>(conn.in_held + 4096, 16384));
        }
        const size_t room = conn.in.size() - conn.in_held;
        ssize_t got;
        if (conn.tls) {
            const uint64_t taken = conn.ahead->taken();
            got = gnutls_record_recv(conn.tls, conn.in.data() + conn.in_held, room);
            if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) {
                // A record that was not data (a session ticket) ends the
                // call so; what was read ahead behind it wakes nothing.
                if (!conn.ahead->empty() && conn.ahead->taken() != taken) {
                    continue;
                }
                return true;
            }
            if (got < 0) {
                // A session the peer ended without close_notify is an end too.
                if (got != GNUTLS_E_PREMATURE_TERMINATION) {
                    self->counts.receive_errors++;
                }
                return false;
            }
        } else {
            got = recv(conn.fd, conn.in.data() + conn.in_held, room, 0);
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return true;
                }
                if (errno == EINTR) {
                    continue;
                }
                if (errno != ECONNRESET) {
                    self->counts.receive_errors++;
                }
                return false;
            }
        }
        if (got == 0) {
            return false;
        }
        conn.in_held += static_cast<size_t>(got);
        take_frames(self, st, index, generation, monotonic_ns());
        if (st.conns[index].generation != generation) {
            return true;
        }
        // A read that did not fill the room took what the socket had: the
        // next readiness event brings the rest, and a read that would only
        // say "nothing more" is saved.
        Conn& after = st.conns[index];
        if (static_cast<size_t>(got) < room &&
            (!after.tls || (gnutls_record_check_pending(after.tls) == 0 && after.ahead->empty()))) {
            return true;
        }
    }
}

// The TLS session of a connection whose TCP connect completed.
bool start_tls(output_replayer_t* self, State& st, Conn& conn)
{
    if (gnutls_init(&conn.tls, GNUTLS_CLIENT | GNUTLS_NONBLOCK | GNUTLS_NO_SIGNAL) != GNUTLS_E_SUCCESS) {
        conn.tls = nullptr;
        return false;
    }
    gnutls_set_default_priority(conn.tls);
    gnutls_credentials_set(conn.tls, GNUTLS_CRD_CERTIFICATE, st.cred);
    conn.ahead = std::make_unique<tvx::tls::ReadAhead>(conn.fd);
    conn.ahead->attach(conn.tls);
    (void)self;
    return true;
}

// Moves a stream connection on: connect finished, handshake steps, then
// open. False when it failed.
bool advance(output_replayer_t* self, State& st, uint32_t index)
{
    Conn& conn = st.conns[index];
    if (conn.state == ConnState::connecting) {
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(conn.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            return false;
        }
        if (over_doh(self)) {
            if (!start_doh(self, st, index)) {
                return false;
            }
            st.conns[index].state = ConnState::open;
            st.conns[index].established = true;
            return submit_waiting(self, st, index);
        }
        if (self->transport == OUTPUT_REPLAYER_TLS) {
            if (!start_tls(self, st, conn)) {
                return false;
            }
            conn.state = ConnState::handshaking;
        } else {
            conn.state = ConnState::open;
            conn.established = true;
        }
    }
    if (conn.state == ConnState::handshaking) {
        const int rc = gnutls_handshake(conn.tls);
        if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED) {
            const bool write = gnutls_record_get_direction(conn.tls) == 1;
            if (write != conn.want_write) {
                watch(self, st, conn, write);
            }
            return true;
        }
        if (rc != GNUTLS_E_SUCCESS) {
            return false;
        }
        conn.state = ConnState::open;
        conn.established = true;
    }
    if (conn.state == ConnState::open) {
        return flush(self, st, index);
    }
    return true;
}

void on_event(output_replayer_t* self, State& st, const struct epoll_event& ev, uint64_t now)
{
    const uint32_t index = static_cast<uint32_t>(ev.data.u64);
    const uint32_t generation = static_cast<uint32_t>(ev.data.u64 >> 32);
    if (index >= st.conns.size() || st.conns[index].generation != generation || st.conns[index].fd < 0) {
        return;  // closed earlier in this batch
    }
    if (!streamed(self)) {
        read_datagrams(self, st, index, generation);
        return;
    }
    if (over_doh(self) && st.conns[index].state == ConnState::open) {
        on_doh_event(self, st, index, generation, ev.events, now);
        return;
    }
    Conn& conn = st.conns[index];
    if (conn.state != ConnState::open) {
        if (!advance(self, st, index)) {
            fail_conn(self, st, index, now);
            return;
        }
        if (st.conns[index].state != ConnState::open || over_doh(self)) {
            return;  // a DoH session reads its own socket from the next event on
        }
    } else if (ev.events & EPOLLOUT) {
        if (!flush(self, st, index)) {
            fail_conn(self, st, index, now);
            return;
        }
    }
    // Whatever is readable first; an end or error after it. Bytes the
    // handshake read ahead of its end wake nothing: they are read now.
    const Conn& ready = st.conns[index];
    if ((ev.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) || (ready.ahead && !ready.ahead->empty())) {
        if (!read_stream(self, st, index, generation) && st.conns[index].generation == generation) {
            fail_conn(self, st, index, now);
        }
    }
}

// Connections waiting out a backoff start when it is over; the earliest
// backoff still to end, for the loop's wake-up.
uint64_t start_due_backoffs(output_replayer_t* self, State& st, uint64_t now)
{
    uint64_t next = UINT64_MAX;
    size_t kept = 0;
    st.due.clear();
    for (const auto& [index, generation] : st.backoffs) {
        const Conn& conn = st.conns[index];
        if (conn.generation != generation || conn.state != ConnState::backoff) {
            continue;
        }
        if (conn.retry_at_ns > now) {
            next = std::min(next, conn.retry_at_ns);
            st.backoffs[kept++] = {index, generation};
        } else {
            st.due.emplace_back(index, generation);
        }
    }
    st.backoffs.resize(kept);
    // Starting one may fail and put queries on a new connection in backoff:
    // that one joins the list for the next turn.
    for (const auto& [index, generation] : st.due) {
        Conn& conn = st.conns[index];
        conn.state = ConnState::unused;
        if (!start_socket(self, st, conn)) {
            fail_conn(self, st, index, now);
        }
    }
    return st.due.empty() ? next : now;
}

// ---- input and pacing ----

using tvx::dns::capture_record;

// A query is a DNS message with QR clear that went to the DNS port over
// UDP or TCP (TCP messages come whole, without their length field).
bool take_query(output_replayer_t* self, State& st, const core_object_t* obj)
{
    tvx::dns::Exchange msg;
    Pending& q = st.pending;
    if (!tvx::dns::read_query(obj, self->dns_port, msg, q.question)) {
        return false;
    }
    const core_object_payload_t* payload = msg.payload;
    tvx::dns::read_question_or_none(payload->payload, payload->len, q.question);
    memset(&q.key, 0, sizeof(q.key));
    q.key.family = msg.family;
    if (msg.src) {
        memcpy(q.key.addr, msg.src, msg.addr_len());
    }
    q.bytes = payload->payload;
    q.len = payload->len;
    q.id_wait_counted = false;
    return true;
}

// When the query read now may go: per the pacing, from the capture's gaps
// (capped) or the anchors of the run.
void schedule(output_replayer_t* self, State& st, const core_object_t* obj, uint64_t now)
{
    uint64_t gap = 0;
    const core_object_pcap_t* rec = capture_record(obj);
    if (rec) {
        const uint64_t ts = uint64_t(rec->ts.sec) * second_ns + uint64_t(rec->ts.nsec);
        if (st.have_capture_ts && ts > st.prev_ts_ns) {
            gap = ts - st.prev_ts_ns;
        }
        st.prev_ts_ns = ts;
        st.have_capture_ts = true;
    }
    const bool paced = self->pacing != OUTPUT_REPLAYER_FAST && self->pacing != OUTPUT_REPLAYER_RATE;
    const bool capping = self->max_gap_ns && gap > self->max_gap_ns;
    // A run that is about to sleep for long says so, so that a pause in the
    // capture is not taken for a hang.
    if (paced && gap > 60 * second_ns) {
        if (capping) {
            TVX_WARNING(self, "next packet is %.3f s after the previous one (capped to %.3f s)", double(gap) / 1e9,
                        double(self->max_gap_ns) / 1e9);
        } else {
            TVX_WARNING(self, "next packet is %.3f s after the previous one (no cap set)", double(gap) / 1e9);
        }
    }
    if (capping) {
        gap = self->max_gap_ns;
    }
    st.capture_ns += gap;
    Pending& q = st.pending;
    q.capture_ns = st.capture_ns;
    switch (self->pacing) {
    case OUTPUT_REPLAYER_KEEP:
        q.due_ns = st.last_send_ns + gap;
        break;
    case OUTPUT_REPLAYER_MULTIPLY:
        q.due_ns = st.last_send_ns + static_cast<uint64_t>(double(gap) * self->multiply);
        break;
    case OUTPUT_REPLAYER_FIXED:
        q.due_ns = st.last_send_ns ? st.last_send_ns + self->fixed_ns : 0;
        break;
    case OUTPUT_REPLAYER_REALTIME:
        q.due_ns = st.start_ns + st.capture_ns;
        break;
    case OUTPUT_REPLAYER_RATE:
        q.due_ns = st.rate_origin_ns + static_cast<uint64_t>(double(st.rate_count) * 1e9 / st.applied_rate);
        st.rate_count++;
        break;
    default:
        q.due_ns = 0;
    }
    (void)now;
}

// The query read and not sent to every server yet ends as not sent there;
// one that went nowhere yet was only read ahead, and the run stopped
// before its turn: it was never taken.
void drop_pending(output_replayer_t* self, State& st)
{
    Pending& q = st.pending;
    if (q.target == 0) {
        self->counts.read--;
        q.have = false;
        return;
    }
    for (uint32_t target = q.target; target < st.servers.size(); target++) {
        self->counts.not_sent++;
        st.current.not_sent++;
        st.per_target[target].not_sent++;
        if (self->on_done) {
            const output_replayer_done_t done = {q.ordinal, target, OUTPUT_REPLAYER_NOT_SENT, q.bytes, q.len,
                                                 nullptr, 0, 0};
            self->on_done(self->on_done_ctx, &done);
        }
    }
    q.have = false;
    q.target = 0;
}

// Clients are numbered in order of their first query; a shard takes every
// N-th, so shards reading the same input split its clients without a word
// between them.
bool in_shard(const output_replayer_t* self, State& st)
{
    if (self->shard_count <= 1) {
        return true;
    }
    const auto [at, fresh] = st.numbered.try_emplace(st.pending.key, static_cast<uint32_t>(st.numbered.size()));
    (void)fresh;
    return at->second % self->shard_count == self->shard_index;
}

// Reads up to the next query. False when the input has none now.
bool pull(output_replayer_t* self, State& st, uint64_t now)
{
    while (!st.input_ended && st.produce) {
        const size_t before = st.packets ? *st.packets : 0;
        const core_object_t* obj = st.produce(st.produce_ctx);
        st.starved = false;
        if (!obj) {
            if (st.waiting && *st.waiting) {
                st.starved = true;  // nothing yet: looked at again soon
                return false;
            }
            if (!st.packets || *st.packets == before) {
                st.input_ended = true;
                return false;
            }
            continue;  // a packet the decoder dropped
        }
        if (!take_query(self, st, obj)) {
            self->counts.skipped++;
            continue;
        }
        if (!in_shard(self, st)) {
            continue;
        }
        self->counts.read++;
        st.pending.ordinal = self->counts.read;
        st.pending.target = 0;
        schedule(self, st, obj, now);
        st.pending.have = true;
        if (!self->clients) {
            close_idle(self, st);
        }
        return true;
    }
    return false;
}

bool start(output_replayer_t* self, State& st)
{
    if (st.servers.empty()) {
        TVX_CRITICAL(self, "no server: connect first");
        return false;
    }
    st.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (st.epoll_fd < 0) {
        TVX_CRITICAL(self, "epoll_create1() error %s", core_log_errstr(errno));
        return false;
    }
    if (self->transport == OUTPUT_REPLAYER_TLS) {
        if (gnutls_certificate_allocate_credentials(&st.cred) != GNUTLS_E_SUCCESS) {
            TVX_CRITICAL(self, "cannot allocate TLS credentials");
            return false;
        }
    }
    st.per_target.assign(st.servers.size(), output_replayer_target_counts_t{});
    const uint32_t window = self->window ? self->window : 1;
    st.inflight.reset(window);
    st.slots.assign(window, SlotData{});
    st.clients.reset(self->max_sockets ? self->max_sockets : 1);
    if (self->clients) {
        st.shared.assign(st.servers.size(), std::vector<uint32_t>(self->clients, none));
        st.next_shared.assign(st.servers.size(), 0);
    }
    const uint64_t now = monotonic_ns();
    st.wall_offset_ns = int64_t(wall_ns()) - int64_t(now);
    st.start_ns = st.last_send_ns = st.rate_origin_ns = now;
    st.applied_rate = self->rate > 0 ? self->rate : 1;
    reset_second(st.current, wall_second(st, now));
    st.started = true;
    return true;
}

// A rate changed by another thread (a stepped load) counts from now; the
// query already waiting is spaced anew.
void follow_rate(output_replayer_t* self, State& st, uint64_t now)
{
    if (self->pacing != OUTPUT_REPLAYER_RATE) {
        return;
    }
    double rate;
    __atomic_load(&self->rate, &rate, __ATOMIC_ACQUIRE);
    if (rate == st.applied_rate || !(rate > 0)) {
        return;
    }
    st.applied_rate = rate;
    st.rate_origin_ns = now;
    st.rate_count = 0;
    if (st.pending.have) {
        st.pending.due_ns = now;
        st.rate_count = 1;
    }
}

bool done(const output_replayer_t* self, const State& st)
{
    (void)self;
    return st.finished && !st.pending.have && st.inflight.size() == 0;
}

}  // namespace

extern "C" {

core_log_t* output_replayer_log()
{
    return &module_log;
}

output_replayer_t* output_replayer_new()
{
    auto* self = new output_replayer_t(defaults);
    self->state = new State();
    return self;
}

void output_replayer_free(output_replayer_t* self)
{
    if (!self) {
        return;
    }
    State& st = state_of(checked(self));
    for (uint32_t index = 0; index < st.conns.size(); index++) {
        close_fd(st, st.conns[index]);
    }
    if (st.epoll_fd >= 0) {
        close(st.epoll_fd);
    }
    if (st.cred) {
        gnutls_certificate_free_credentials(st.cred);
    }
    delete &st;
    delete self;
}

int output_replayer_connect(output_replayer_t* self, const char* host, const char* port)
{
    State& st = state_of(checked(self));
    if (!host || !port) {
        TVX_FATAL(self, "host or port is nil");
    }
    if (st.started) {
        TVX_FATAL(self, "servers are added before the run");
    }
    if (st.servers.size() == 255) {
        TVX_FATAL(self, "too many servers");
    }
    tvx::net::Resolved server;
    if (tvx::net::resolve(TVX_HERE, self, host, port, server) != 0) {
        return -1;
    }
    st.servers.push_back(server);
    st.hosts.emplace_back(host);
    st.ports.emplace_back(port);
    return 0;
}

void output_replayer_input(output_replayer_t* self, core_producer_t produce, void* ctx, const size_t* packets)
{
    State& st = state_of(checked(self));
    st.produce = produce;
    st.produce_ctx = ctx;
    st.packets = packets;
    st.waiting = nullptr;
    st.starved = false;
    st.input_ended = produce == nullptr;
    st.input_reported = false;
    st.finished = produce == nullptr;
    // The next input's first gap is none: it follows straight on.
    st.have_capture_ts = false;
}

void output_replayer_input_waiting(output_replayer_t* self, core_producer_t produce, void* ctx, const uint8_t* waiting)
{
    output_replayer_input(self, produce, ctx, nullptr);
    state_of(self).waiting = waiting;
}

output_replayer_status_t output_replayer_run(output_replayer_t* self, uint64_t slice_ns)
{
    State& st = state_of(checked(self));
    if (!st.started && !start(self, st)) {
        return OUTPUT_REPLAYER_FAILED;
    }
    const uint64_t deadline = monotonic_ns() + slice_ns;
    struct epoll_event events[64];
    while (true) {
        uint64_t now = monotonic_ns();
        follow_rate(self, st, now);
        expire(self, st, now);
        roll_second(st, now);
        const uint64_t backoff_at = start_due_backoffs(self, st, now);
        if (stopping(self) && st.pending.have) {
            drop_pending(self, st);
        }
        // Send what is due, as long as the window and the ids allow.
        while (!stopping(self)) {
            if (!st.pending.have && !pull(self, st, now)) {
                break;
            }
            if (st.pending.due_ns > now || !send_pending(self, st, now)) {
                break;
            }
            now = monotonic_ns();
            if (now >= deadline) {
                break;
            }
        }
        flush_dirty(self, st, now);
        if (st.input_ended && !st.pending.have && !st.finished && !st.input_reported) {
            st.input_reported = true;
            return OUTPUT_REPLAYER_INPUT_ENDED;
        }
        if (done(self, st) || (stopping(self) && st.inflight.size() == 0)) {
            roll_second(st, now + second_ns);
            return OUTPUT_REPLAYER_DONE;
        }
        // Sleep until the next thing due: a send, a timeout, a second, a
        // backoff, or the end of the slice.
        uint64_t wake = std::min(deadline, uint64_t((wall_second(st, now) + 1) * int64_t(second_ns) - st.wall_offset_ns));
        if (st.pending.have && !st.inflight.full() && !st.pending.id_wait_counted) {
            wake = std::min(wake, st.pending.due_ns);
        }
        if (st.inflight.oldest() != tvx::InFlight::none) {
            wake = std::min(wake, st.inflight[st.inflight.oldest()].sent_ns + self->wait_ns);
        }
        wake = std::min(wake, backoff_at);
        if (st.starved && !st.pending.have) {
            wake = std::min(wake, now + starved_look_ns);
        }
        const uint64_t sleep = wake > now ? wake - now : 0;
        struct timespec limit = {time_t(sleep / second_ns), long(sleep % second_ns)};
        const int ready = epoll_pwait2(st.epoll_fd, events, 64, &limit, nullptr);
        if (ready < 0 && errno != EINTR) {
            TVX_CRITICAL(self, "epoll_pwait2() error %s", core_log_errstr(errno));
            return OUTPUT_REPLAYER_FAILED;
        }
        now = monotonic_ns();
        for (int i = 0; i < ready; i++) {
            on_event(self, st, events[i], now);
        }
        if (now >= deadline) {
            return OUTPUT_REPLAYER_RUNNING;
        }
    }
}

size_t output_replayer_seconds(const output_replayer_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return static_cast<const State*>(self->state)->series.size();
}

int output_replayer_second(const output_replayer_t* self, size_t index, output_replayer_second_t* out)
{
    TVX_CHECK_SELF(self, module_log);
    const State& st = *static_cast<const State*>(self->state);
    if (index >= st.series.size() || !out) {
        return -1;
    }
    const Second& kept = st.series[index];
    *out = kept.counts;
    for (const auto& [bucket, count] : kept.buckets) {
        out->latency.buckets[bucket] = count;
    }
    return 0;
}

void output_replayer_set_rate(output_replayer_t* self, double rate)
{
    __atomic_store(&checked(self)->rate, &rate, __ATOMIC_RELEASE);
}

uint32_t output_replayer_in_flight(const output_replayer_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return static_cast<const State*>(self->state)->inflight.size();
}

uint32_t output_replayer_open_sockets(const output_replayer_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return static_cast<const State*>(self->state)->open_conns;
}

int output_replayer_target_counts(const output_replayer_t* self, uint32_t target,
                                  output_replayer_target_counts_t* out)
{
    TVX_CHECK_SELF(self, module_log);
    const State& st = *static_cast<const State*>(self->state);
    if (target >= st.per_target.size() || !out) {
        return -1;
    }
    *out = st.per_target[target];
    return 0;
}

uint64_t output_replayer_raise_fd_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

}  // extern "C"
