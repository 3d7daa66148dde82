#include "output/diffstore.h"

#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/detail/dns_exchange.h"
#include "core/detail/dns_question.h"
#include "core/detail/flow_table.h"
#include "core/detail/log.h"

static_assert(std::is_standard_layout_v<output_diffstore_t>);
static_assert(std::is_standard_layout_v<output_diffstore_counts_t>);

namespace {

core_log_t module_log = core_log_module_init("output.diffstore");

constexpr uint64_t second_ns = 1000000000ull;
constexpr uint32_t time_limit_us = 0xFFFFFFFE;  // 0xFFFFFFFF means "no answer"
// What LMDB spends on an entry besides its bytes: two keys and node headers.
constexpr uint64_t entry_overhead = 64;
constexpr size_t first_ring_size = 1024;

constexpr output_diffstore_t make_defaults()
{
    output_diffstore_t d{};
    d._log = core_log_object_init("output.diffstore", module_log);
    d.dns_port = 53;
    d.capture_wait_ns = 3 * second_ns;
    d.max_awaited = 1u << 18;
    return d;
}

constexpr output_diffstore_t defaults = make_defaults();

enum class Outcome : uint8_t { waiting, answered, missing, not_sent };

struct Answer {
    Outcome outcome = Outcome::waiting;
    uint32_t time_us = 0;
    std::vector<uint8_t> bytes;
};

// Where a captured response finds its query: the client as the capture
// names it (address and port, on the same transport), the id and the
// question. The name goes in as a hash, and the query's own question is
// compared before a response is taken as its answer. Zero-filled before use:
// the table compares keys by their bytes.
struct OriginKey {
    int32_t kind;
    uint16_t port;
    uint16_t id;
    uint16_t qtype;
    uint16_t qclass;
    uint8_t family;
    uint8_t addr[16];
    uint64_t name_hash;
};

// The queries awaiting a response under one key, oldest first, linked
// through Entry::next_same: a retransmission's first copy takes the answer.
struct Chain {
    uint64_t head = 0;
    uint64_t tail = 0;
};

struct Entry {
    bool have_query = false;
    bool awaiting = false;  // capture mode: its response may still come
    uint64_t capture_ns = 0;
    uint64_t next_same = 0;
    OriginKey key{};
    tvx::dns::Question question;
    std::vector<uint8_t> query;
    Answer answers[2];
};

// Entries live in a ring indexed by ordinal, from the oldest not stored yet
// (`base`) to the newest seen (`next` - 1); it doubles when a slow entry
// holds up more than it has room for, and its buffers are reused otherwise.
struct State {
    core_producer_t produce = nullptr;
    void* produce_ctx = nullptr;
    std::vector<Entry> ring = std::vector<Entry>(first_ring_size);
    uint64_t base = 1;
    uint64_t next = 1;
    uint64_t scan = 1;  // the oldest ordinal that may still await its response
    tvx::FlowTable<OriginKey, Chain> awaited;
    bool table_ready = false;
    uint64_t seed = 0x5eedd1ffu;

    Entry& at(uint64_t ordinal) { return ring[ordinal & (ring.size() - 1)]; }
};

State& state(output_diffstore_t* self)
{
    return *static_cast<State*>(self->state);
}

void grow(State& st)
{
    std::vector<Entry> larger(st.ring.size() * 2);
    for (uint64_t ordinal = st.base; ordinal < st.next; ordinal++) {
        larger[ordinal & (larger.size() - 1)] = std::move(st.at(ordinal));
    }
    st.ring.swap(larger);
}

// Makes room for every ordinal up to `ordinal`; each new entry starts empty.
void reach(output_diffstore_t* self, State& st, uint64_t ordinal)
{
    while (st.next <= ordinal) {
        if (st.next - st.base == st.ring.size()) {
            grow(st);
        }
        Entry& e = st.at(st.next);
        e.have_query = e.awaiting = false;
        e.capture_ns = e.next_same = 0;
        for (Answer& answer : e.answers) {
            answer.outcome = Outcome::waiting;
            answer.time_us = 0;
            answer.bytes.clear();
        }
        st.next++;
        self->counts.queries++;
    }
}

void keep_query(Entry& e, const uint8_t* bytes, size_t len)
{
    e.query.assign(bytes, bytes + len);
    e.have_query = true;
}

uint32_t to_us(uint64_t ns)
{
    const uint64_t us = ns / 1000;
    return us < time_limit_us ? static_cast<uint32_t>(us) : time_limit_us;
}

bool settled(const Entry& e)
{
    return e.have_query && e.answers[0].outcome != Outcome::waiting && e.answers[1].outcome != Outcome::waiting;
}

output_respdiff_answer_t as_stored(const Answer& answer)
{
    if (answer.outcome != Outcome::answered) {
        return {nullptr, 0, 0};
    }
    // An empty answer is still an answer: its entry has length 0 and a time.
    static const uint8_t nothing = 0;
    return {answer.bytes.empty() ? &nothing : answer.bytes.data(), answer.bytes.size(), answer.time_us};
}

// Stores the entry, or counts why it is left out.
void settle(output_diffstore_t* self, const Entry& e)
{
    const Answer& first = e.answers[0];
    const Answer& second = e.answers[1];
    if (first.outcome == Outcome::not_sent || second.outcome == Outcome::not_sent) {
        self->counts.not_sent++;
        return;
    }
    if (self->capture_mode && first.outcome == Outcome::missing) {
        self->counts.no_original++;
        return;
    }
    const uint64_t size = e.query.size() + first.bytes.size() + second.bytes.size() + entry_overhead;
    if (self->full || (self->store_limit && self->stored_bytes + size > self->store_limit)) {
        self->full = 1;
        self->counts.over_limit++;
        return;
    }
    const output_respdiff_answer_t answers[2] = {as_stored(first), as_stored(second)};
    output_respdiff_store(self->writer, e.query.data(), e.query.size(), answers);
    self->stored_bytes += size;
    self->counts.stored++;
}

// Stores, in order, every entry from the oldest whose outcomes are all in.
void flush(output_diffstore_t* self, State& st)
{
    while (st.base < st.next && settled(st.at(st.base))) {
        settle(self, st.at(st.base));
        st.base++;
    }
    if (st.scan < st.base) {
        st.scan = st.base;
    }
}

void unlink_head(State& st, const Entry& e)
{
    auto* slot = st.awaited.find(e.key, false);
    if (!slot) {
        return;
    }
    slot->value.head = e.next_same;
    if (!slot->value.head) {
        st.awaited.remove(slot);
    }
}

void give_up(output_diffstore_t* self, State& st, Entry& e)
{
    unlink_head(st, e);
    e.awaiting = false;
    e.answers[0].outcome = Outcome::missing;
    self->counts.timed_out[0]++;
}

// Gives up on the responses of queries captured longer than the wait before
// `now_ns`, oldest first (`all`: on every one still awaited).
void expire(output_diffstore_t* self, State& st, uint64_t now_ns, bool all)
{
    for (; st.scan < st.next; st.scan++) {
        Entry& e = st.at(st.scan);
        if (!e.awaiting) {
            continue;
        }
        if (!all && e.capture_ns + self->capture_wait_ns >= now_ns) {
            break;
        }
        give_up(self, st, e);
    }
}

// The oldest query still awaiting its response gives way to a new one.
void give_way(output_diffstore_t* self, State& st)
{
    for (; st.scan < st.next; st.scan++) {
        Entry& e = st.at(st.scan);
        if (e.awaiting) {
            give_up(self, st, e);
            st.scan++;
            return;
        }
    }
}

void origin_key(OriginKey& key, const State& st, const tvx::dns::Exchange& msg, bool query,
                const tvx::dns::Question& q)
{
    memset(&key, 0, sizeof(key));
    key.kind = msg.kind;
    key.port = query ? msg.sport : msg.dport;
    key.id = q.id;
    key.qtype = q.qtype;
    key.qclass = q.qclass;
    key.family = msg.family;
    const uint8_t* client = query ? msg.src : msg.dst;
    if (client) {
        memcpy(key.addr, client, msg.addr_len());
    }
    key.name_hash = tvx::hash_bytes(q.name, q.name_len, st.seed);
}

void captured_query(output_diffstore_t* self, State& st, const tvx::dns::Exchange& msg, tvx::dns::Question& q,
                    uint64_t ts)
{
    const uint64_t ordinal = st.next;
    reach(self, st, ordinal);
    Entry& e = st.at(ordinal);
    keep_query(e, msg.payload->payload, msg.payload->len);
    tvx::dns::read_question_or_none(msg.payload->payload, msg.payload->len, q);
    e.question = q;
    e.capture_ns = ts;
    origin_key(e.key, st, msg, true, q);
    auto* slot = st.awaited.find(e.key, false);
    if (!slot) {
        if (st.awaited.full()) {
            give_way(self, st);
        }
        slot = st.awaited.insert(e.key);
        slot->value.head = ordinal;
    } else {
        st.at(slot->value.tail).next_same = ordinal;
    }
    slot->value.tail = ordinal;
    e.awaiting = true;
}

void captured_response(output_diffstore_t* self, State& st, const tvx::dns::Exchange& msg, tvx::dns::Question& q,
                       uint64_t ts)
{
    tvx::dns::read_question_or_none(msg.payload->payload, msg.payload->len, q);
    OriginKey key;
    origin_key(key, st, msg, false, q);
    auto* slot = st.awaited.find(key, false);
    Entry* e = slot ? &st.at(slot->value.head) : nullptr;
    if (!e || !e->question.same_question(q)) {
        self->counts.stray_originals++;
        return;
    }
    unlink_head(st, *e);
    e->awaiting = false;
    Answer& original = e->answers[0];
    original.outcome = Outcome::answered;
    original.bytes.assign(msg.payload->payload, msg.payload->payload + msg.payload->len);
    original.time_us = to_us(ts > e->capture_ns ? ts - e->capture_ns : 0);
    self->counts.answered[0]++;
}

// What the replayer reads passes through here first: queries to the DNS
// port are numbered as the replayer numbers them, responses from it are
// paired with those queries.
void look(output_diffstore_t* self, State& st, const core_object_t* obj)
{
    tvx::dns::Exchange msg;
    if (!tvx::dns::read_exchange(obj, msg)) {
        return;
    }
    tvx::dns::Question q;
    if (!tvx::dns::read_header(msg.payload->payload, msg.payload->len, q)) {
        return;
    }
    const core_object_pcap_t* rec = tvx::dns::capture_record(obj);
    const uint64_t ts = rec ? uint64_t(rec->ts.sec) * second_ns + uint64_t(rec->ts.nsec) : 0;
    const bool query = msg.dport == self->dns_port && q.qr == 0;
    const bool response = !query && msg.sport == self->dns_port && q.qr == 1;
    if (!query && !response) {
        return;
    }
    expire(self, st, ts, false);
    if (query) {
        captured_query(self, st, msg, q, ts);
    } else {
        captured_response(self, st, msg, q, ts);
    }
    flush(self, st);
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<output_diffstore_t*>(ctx);
    State& st = state(self);
    if (!st.produce) {
        return nullptr;
    }
    const core_object_t* obj = st.produce(st.produce_ctx);
    if (obj) {
        look(self, st, obj);
    }
    return obj;
}

}  // namespace

extern "C" core_log_t* output_diffstore_log()
{
    return &module_log;
}

extern "C" output_diffstore_t* output_diffstore_new()
{
    auto* self = new output_diffstore_t(defaults);
    self->state = new State();
    return self;
}

extern "C" void output_diffstore_free(output_diffstore_t* self)
{
    if (!self) {
        return;
    }
    delete static_cast<State*>(self->state);
    delete self;
}

extern "C" void output_diffstore_writer(output_diffstore_t* self, output_respdiff_t* writer)
{
    TVX_CHECK_SELF(self, module_log);
    self->writer = writer;
}

extern "C" void output_diffstore_upstream(output_diffstore_t* self, core_producer_t produce, void* ctx)
{
    TVX_CHECK_SELF(self, module_log);
    State& st = state(self);
    st.produce = produce;
    st.produce_ctx = ctx;
    if (!st.table_ready) {
        st.awaited.reset(self->max_awaited ? self->max_awaited : 1);
        st.table_ready = true;
    }
}

extern "C" core_producer_t output_diffstore_producer(output_diffstore_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return produce;
}

extern "C" void output_diffstore_done(void* ctx, const output_replayer_done_t* done)
{
    auto* self = static_cast<output_diffstore_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!self->writer) {
        TVX_FATAL(self, "no writer");
    }
    State& st = state(self);
    const uint32_t side = done->target + (self->capture_mode ? 1 : 0);
    // In capture mode every query was numbered on its way to the replayer;
    // an ordinal never seen, or a third server, is a wiring fault.
    if (side > 1 || done->ordinal < st.base || (self->capture_mode && done->ordinal >= st.next)) {
        self->counts.unknown_ordinals++;
        return;
    }
    reach(self, st, done->ordinal);
    Entry& e = st.at(done->ordinal);
    if (!e.have_query) {
        keep_query(e, done->query, done->query_len);
    }
    Answer& answer = e.answers[side];
    if (answer.outcome != Outcome::waiting) {
        self->counts.unknown_ordinals++;
        return;
    }
    switch (done->outcome) {
    case OUTPUT_REPLAYER_ANSWERED:
        answer.outcome = Outcome::answered;
        answer.bytes.assign(done->answer, done->answer + done->answer_len);
        answer.time_us = to_us(done->latency_ns);
        self->counts.answered[side]++;
        break;
    case OUTPUT_REPLAYER_TIMED_OUT:
        answer.outcome = Outcome::missing;
        self->counts.timed_out[side]++;
        break;
    default:
        answer.outcome = Outcome::not_sent;
        self->counts.send_failed[side]++;
        break;
    }
    flush(self, st);
}

extern "C" void output_diffstore_finish(output_diffstore_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    State& st = state(self);
    if (self->capture_mode) {
        expire(self, st, 0, true);
    }
    flush(self, st);
}

extern "C" uint64_t output_diffstore_pending(const output_diffstore_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    const State& st = *static_cast<const State*>(self->state);
    return st.next - st.base;
}
