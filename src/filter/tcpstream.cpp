#include "filter/tcpstream.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "core/detail/capture_time.h"
#include "core/detail/carriers.h"
#include "core/detail/flow_table.h"
#include "core/detail/log.h"
#include "core/detail/reassembly.h"
#include "core/detail/stream_frame.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/pcap.h"
#include "core/object/tcp.h"

static_assert(std::is_standard_layout_v<filter_tcpstream_t>);

// How a direction's bytes are followed:
//
// - `next_seq` is the sequence number of the first byte not yet in the
//   stream. A SYN sets it; a flow first seen without one (capture started
//   mid-connection) starts at its first segment. Sequence numbers compare
//   modulo 2^32, so a stream may wrap.
// - Bytes before `next_seq` were passed on already: retransmissions, dropped
//   and counted. Bytes after it are held out of order in the direction's
//   buffer, at their offset from the start of the partial message held, until
//   the hole fills.
// - A hole is given up on (a gap) when the peer acknowledges bytes beyond it
//   (it got them, so the capture will never show them), or when what is held
//   out of order no longer fits the buffer or its range list. The partial
//   message is dropped, and the stream resumes at the next segment held.
// - After a gap, and at the first segment of a flow seen without its SYN, the
//   next length field is not known to be one: the stream is resynchronised at
//   a segment start whose first bytes read as a plausible DNS message (a
//   length of at least 12, a known opcode, counts that fit the length). The
//   bytes of a segment that does not are dropped (counted) and the next
//   segment start is tried.
// - FIN closes a direction once every byte before it is in the stream (a
//   partial message left then is counted as truncated); RST forgets the flow.
//   A flow ends when both directions are closed.
// - Memory is fixed when the limits are set: the flow table, and a pool of
//   buffers that only directions with a partial message or out-of-order
//   bytes hold. When the table is full the least recently active flow gives
//   way; flows idle for `idle_timeout` in capture time are forgotten.
// - Carriers, when kept: each buffer also holds copies of the segments whose
//   bytes it holds, with the sequence range each carried, in the order they
//   came. A message handed on from the buffer was carried by the copies whose
//   range meets its own; one handed on from a segment's own bytes, by that
//   segment. A segment that ends one message and starts the next is handed
//   out once, with the first of them asked for. Copies go when the bytes they
//   carried leave the buffer. Each flow also keeps the SYN of each direction
//   (when small enough), handed out ahead of the direction's first message:
//   readers need it to place the sequence numbers of a stream whose first
//   segments came out of order.
namespace {

core_log_t module_log = core_log_module_init("filter.tcpstream");

constexpr uint32_t default_max_flows = 16384;
constexpr uint32_t default_max_buffers = 256;
// One message of 65535 bytes with its length field.
constexpr uint32_t default_buffer_size = 65537;
constexpr uint32_t min_buffer_size = 16;
constexpr uint16_t default_port = 53;
constexpr int64_t default_idle_seconds = 60;

constexpr size_t length_field = tvx::stream::length_field_size;
constexpr size_t dns_header = 12;
// Out-of-order pieces held per direction; the range list has one spare so
// that in-order bytes always fit it.
constexpr uint32_t max_ahead = 8;
// Segments kept per buffer: a 65535-byte message in 128-byte segments.
constexpr uint32_t max_carriers = 512;
// Room for a SYN with every TCP option behind IPv6 and a few link headers.
constexpr uint32_t max_syn_bytes = 160;

constexpr uint8_t tcp_fin = 0x01;
constexpr uint8_t tcp_syn = 0x02;
constexpr uint8_t tcp_rst = 0x04;
constexpr uint8_t tcp_ack = 0x10;

constexpr filter_tcpstream_t make_defaults()
{
    filter_tcpstream_t record{};
    record._log = core_log_object_init("filter.tcpstream", module_log);
    record.max_flows = default_max_flows;
    record.max_buffers = default_max_buffers;
    record.buffer_size = default_buffer_size;
    record.port = default_port;
    record.idle_timeout = {default_idle_seconds, 0};
    record.payload.obj_type = CORE_OBJECT_PAYLOAD;
    return record;
}
constexpr filter_tcpstream_t defaults = make_defaults();

bool seq_before(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) < 0;
}

// Both directions of a flow share one key: the (address, port) that sorts
// first is the low side, and direction 0 runs from it.
struct Key {
    uint8_t family;
    uint8_t zero[3];
    uint16_t port_low;
    uint16_t port_high;
    uint8_t addr_low[16];
    uint8_t addr_high[16];
};

struct Direction {
    uint32_t next_seq = 0;
    uint32_t held = 0;  // stream bytes in the buffer, from a message start
    uint32_t skip = 0;  // bytes of a message longer than the buffer still to pass over
    uint32_t fin_seq = 0;
    uint32_t isn = 0;
    uint32_t buffer = tvx::BufferPool::none;
    tvx::RangeSet<max_ahead + 1> ahead;  // offsets from the buffer start, all beyond `held`
    bool synced = false;
    bool have_isn = false;
    bool resync = false;   // the next length field is unvalidated
    bool fin = false;
    bool closed = false;
    bool pending = false;  // the buffer may hold whole messages not yet handed on
};

struct Flow {
    Direction dir[2];
    int64_t last_seen = 0;
};

using Table = tvx::FlowTable<Key, Flow>;
using Slot = Table::Slot;

// Framing over contiguous stream bytes: a segment's own bytes, or the buffer.
struct Run {
    const uint8_t* data = nullptr;
    size_t len = 0;
    size_t pos = 0;
    bool in_buffer = false;
    bool active = false;
    uint32_t seq = 0;  // of data[0]
};

// What a message handed on was carried by, until the next segment.
struct Handed {
    const core_object_t* message = nullptr;
    bool in_buffer = false;
    uint32_t buffer = 0;
    uint32_t lo = 0;  // sequence range, with the length field
    uint32_t hi = 0;
    uint32_t flow = 0;  // table index
    int side = 0;
};

struct State {
    Table flows;
    tvx::BufferPool buffers;
    int64_t now = INT64_MIN;

    // The segment being worked through: its in-order bytes not yet framed.
    bool working = false;
    Slot* flow = nullptr;
    Direction* dir = nullptr;
    const core_object_t* below = nullptr;
    const uint8_t* seg = nullptr;
    size_t seg_len = 0;
    uint32_t seg_seq = 0;  // of `seg`
    Run run;

    tvx::CarrierPool carriers;  // one per buffer, when kept
    tvx::CarrierPool syns;      // one per flow, an entry per direction (id: its side)
    uint32_t carrier_bytes = 0;
    const core_object_t* seg_obj = nullptr;  // the segment, as it came
    uint64_t seg_id = 0;
    uint32_t seg_lo = 0;  // its sequence range
    uint32_t seg_hi = 0;
    bool seg_written = false;  // handed out already as a carrier
    Handed handed;
};

State& state_of(filter_tcpstream_t* self)
{
    return *static_cast<State*>(self->state);
}

uint16_t read_u16(const uint8_t* at)
{
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

// Whether `message` (at least a header's worth of its `len` bytes) starts
// like a DNS message: a defined opcode, and counts whose smallest encodings
// fit the length.
bool plausible(const uint8_t* message, size_t len)
{
    if (len < dns_header) {
        return false;
    }
    const unsigned opcode = (message[2] >> 3) & 0x0f;
    if (opcode == 3 || opcode > 6) {
        return false;
    }
    const size_t questions = read_u16(message + 4);
    const size_t records = size_t(read_u16(message + 6)) + read_u16(message + 8) + read_u16(message + 10);
    return dns_header + questions * 5 + records * 11 <= len;
}

void release_buffer(State& st, Direction& d)
{
    if (d.buffer != tvx::BufferPool::none) {
        if (st.carriers.active()) {
            st.carriers.at(d.buffer).clear();
        }
        st.buffers.release(d.buffer);
        d.buffer = tvx::BufferPool::none;
    }
    d.held = 0;
    d.ahead.clear();
}

bool holds_bytes(const Direction& d)
{
    return d.held || !d.ahead.empty();
}

void release_flow(filter_tcpstream_t* self, State& st, Slot* slot)
{
    for (auto& d : slot->value.dir) {
        release_buffer(st, d);
    }
    st.flows.remove(slot);
    self->flows--;
}

bool ensure_buffer(State& st, Direction& d)
{
    if (d.buffer == tvx::BufferPool::none) {
        d.buffer = st.buffers.acquire();
    }
    return d.buffer != tvx::BufferPool::none;
}

// Whether [lo, hi) and [from, to) share a byte, in sequence space.
bool meets(uint32_t lo, uint32_t hi, uint32_t from, uint32_t to)
{
    return seq_before(lo, to) && seq_before(from, hi);
}

struct KeepInto {
    tvx::CarrierStore* store;
    const State* st;
    bool fits;
};

void keep_fragment(void* ctx, const core_object_t* obj)
{
    auto& into = *static_cast<KeepInto*>(ctx);
    const auto& packet = *reinterpret_cast<const core_object_pcap_t*>(obj);
    into.fits = into.store->add(packet, into.st->seg_id, into.st->seg_lo, into.st->seg_hi) && into.fits;
}

// Hands the segment being worked through to `recv` as the packets it came
// in; false when some of them are missing.
bool hand_segment(filter_tcpstream_t* self, const State& st, core_receiver_t recv, void* ctx)
{
    if (self->fragments) {
        const int from_fragments = filter_ipfrag_carriers(self->fragments, st.seg_obj, recv, ctx);
        if (from_fragments >= 0) {
            return from_fragments == 0;
        }
    }
    const core_object_pcap_t* packet = tvx::packet_of(st.seg_obj);
    if (!packet) {
        return false;
    }
    recv(ctx, reinterpret_cast<const core_object_t*>(packet));
    return true;
}

// The segment being worked through has bytes in `d`'s buffer now: kept
// with them, once.
void keep_segment(filter_tcpstream_t* self, State& st, Direction& d)
{
    if (!st.carriers.active() || d.buffer == tvx::BufferPool::none) {
        return;
    }
    tvx::CarrierStore& store = st.carriers.at(d.buffer);
    if (!store.empty() && (store.end() - 1)->id == st.seg_id) {
        return;
    }
    const uint32_t before = store.count();
    KeepInto into{&store, &st, true};
    const bool handed_whole = hand_segment(self, st, keep_fragment, &into);
    into.fits = into.fits && handed_whole;
    for (tvx::Carrier* carrier = store.begin() + before; carrier != store.end(); carrier++) {
        carrier->written = st.seg_written;
    }
    if (!into.fits) {
        if (!store.lost || seq_before(store.lost_hi, st.seg_hi)) {
            store.lost_hi = st.seg_hi;
        }
        store.lost = true;
    }
}

// The sequence number of the first byte in `d`'s buffer. `next_seq` is
// already past the whole segment being worked through, whose bytes not yet
// framed lie between the buffer and it.
uint32_t buffer_seq(const State& st, const Direction& d)
{
    const size_t unframed = st.working && st.dir == &d ? st.seg_len : 0;
    return d.next_seq - static_cast<uint32_t>(unframed) - d.held;
}

// The SYN that opened one direction of a flow, in place of one kept before.
void keep_syn(State& st, Slot* slot, int side, const core_object_t* obj)
{
    const core_object_pcap_t* packet = tvx::packet_of(obj);
    if (!st.syns.active() || !packet) {
        return;
    }
    tvx::CarrierStore& store = st.syns.at(st.flows.index_of(slot));
    store.retain([&](const tvx::Carrier& carrier) { return carrier.id != uint64_t(side); });
    store.add(*packet, side, 0, 0);
}

// The SYN of the direction a message came in, ahead of its first message.
void hand_syn(State& st, const Handed& handed, core_receiver_t recv, void* ctx)
{
    for (tvx::Carrier& carrier : st.syns.at(handed.flow)) {
        if (carrier.id == uint64_t(handed.side) && !carrier.written) {
            recv(ctx, reinterpret_cast<const core_object_t*>(&carrier.packet));
            carrier.written = true;
        }
    }
}

// The copies of segments whose bytes all left `d`'s buffer go.
void trim_carriers(State& st, Direction& d)
{
    if (!st.carriers.active() || d.buffer == tvx::BufferPool::none) {
        return;
    }
    tvx::CarrierStore& store = st.carriers.at(d.buffer);
    const uint32_t base = buffer_seq(st, d);
    store.retain([&](const tvx::Carrier& carrier) { return seq_before(base, carrier.hi); });
    if (store.lost && !seq_before(base, store.lost_hi)) {
        store.lost = false;
    }
}

// A resumed stream whose first bytes already show they are no message start
// is dropped before later segments merge with it, so that the next segment
// start can be tried on its own.
void drop_if_implausible(filter_tcpstream_t* self, State& st, Direction& d)
{
    uint8_t* buf = st.buffers.at(d.buffer);
    if (d.held < length_field) {
        return;
    }
    const size_t len = read_u16(buf);
    const bool complete_header = d.held >= length_field + dns_header;
    if (len >= dns_header && (!complete_header || plausible(buf + length_field, len))) {
        return;
    }
    self->resync_bytes += d.held;
    const uint32_t dropped = d.held;
    const uint32_t extent = d.ahead.extent() > d.held ? d.ahead.extent() : d.held;
    memmove(buf, buf + dropped, extent - dropped);
    d.ahead.drop_front(dropped);
    d.held = 0;
    d.pending = false;
    if (d.ahead.empty()) {
        release_buffer(st, d);
    }
    trim_carriers(st, d);
}

// Gives up on the hole in front of what is held: the partial message goes,
// and the first piece held out of order (a segment start) becomes the stream,
// to be resynchronised. With nothing held out of order the stream is empty
// and the caller says where it resumes.
void give_up_hole(filter_tcpstream_t* self, State& st, Direction& d)
{
    self->gaps++;
    d.skip = 0;
    d.resync = true;
    if (d.ahead.empty()) {
        release_buffer(st, d);
        return;
    }
    uint8_t* buf = st.buffers.at(d.buffer);
    const uint32_t base = d.next_seq - d.held;
    const uint32_t start = d.ahead.ranges[0].start;
    memmove(buf, buf + start, d.ahead.extent() - start);
    d.ahead.drop_front(start);
    d.held = d.ahead.ranges[0].end;
    d.ahead.pop_front();
    d.next_seq = base + start + d.held;
    d.pending = true;
    trim_carriers(st, d);
    drop_if_implausible(self, st, d);
}

// Everything held goes (a message that cannot be held whole among pieces
// held out of order); the stream goes on, to be resynchronised.
void drop_held(filter_tcpstream_t* self, State& st, Direction& d)
{
    self->buffer_overflows++;
    release_buffer(st, d);
    d.resync = true;
}

// In-order bytes written behind what is held, merging with pieces held out
// of order; what lies beyond the buffer is not held (a hole, given up on later).
void append_in_order(filter_tcpstream_t* self, State& st, Direction& d, const uint8_t* data, size_t len)
{
    const size_t capacity = st.buffers.size();
    uint8_t* buf = st.buffers.at(d.buffer);
    const uint32_t base = d.next_seq - d.held;
    size_t fits = len;
    if (d.held + fits > capacity) {
        fits = capacity - d.held;
        self->buffer_overflows++;
    }
    const uint32_t start = d.held;
    const auto added = d.ahead.add(start, start + static_cast<uint32_t>(fits), [&](uint32_t from, uint32_t to) {
        memcpy(buf + from, data + (from - start), to - from);
    });
    self->overlap_bytes += added.overlap;
    if (!d.ahead.empty() && d.ahead.ranges[0].start == d.held) {
        d.held = d.ahead.ranges[0].end;
        d.ahead.pop_front();
    }
    d.next_seq = base + d.held;
    d.pending = true;
    keep_segment(self, st, d);
}

// Bytes ahead of the stream, held until the hole before them fills. Returns
// false when they cannot be held: the caller gives up on the hole.
bool hold_ahead(filter_tcpstream_t* self, State& st, Direction& d, uint32_t seq, const uint8_t* data, size_t len)
{
    if (!ensure_buffer(st, d)) {
        return false;
    }
    const uint32_t base = d.next_seq - d.held;
    const size_t start = seq - base;
    if (start + len > st.buffers.size()) {
        return false;
    }
    const uint32_t from_offset = static_cast<uint32_t>(start);
    const uint32_t already = d.ahead.covered(from_offset, from_offset + static_cast<uint32_t>(len));
    if (d.ahead.count >= max_ahead && already == 0) {
        return false;
    }
    uint8_t* buf = st.buffers.at(d.buffer);
    const auto added = d.ahead.add(from_offset, from_offset + static_cast<uint32_t>(len),
                                   [&](uint32_t from, uint32_t to) {
                                       memcpy(buf + from, data + (from - from_offset), to - from);
                                   });
    if (!added.fits) {
        return false;
    }
    self->overlap_bytes += added.overlap;
    keep_segment(self, st, d);
    return true;
}

// The first bytes of the partial message held, up to its end: a whole message
// then waits in the buffer. Returns the number of segment bytes used.
size_t fill_partial(filter_tcpstream_t* self, State& st, Direction& d, const uint8_t* data, size_t len)
{
    const size_t capacity = st.buffers.size();
    uint8_t* buf = st.buffers.at(d.buffer);
    size_t used = 0;
    for (;;) {
        size_t want = length_field;
        if (d.held >= length_field) {
            want = length_field + read_u16(buf);
            if (want > capacity) {
                // Longer than a buffer may hold: passed over, framing kept.
                self->buffer_overflows++;
                d.skip = static_cast<uint32_t>(want - d.held);
                release_buffer(st, d);
                return used;
            }
            if (d.held == want) {
                d.pending = true;
                return used;
            }
        }
        if (used == len) {
            return used;
        }
        const size_t take = want - d.held < len - used ? want - d.held : len - used;
        memcpy(buf + d.held, data + used, take);
        d.held += static_cast<uint32_t>(take);
        used += take;
        keep_segment(self, st, d);
    }
}

// Places a segment's bytes [seq, seq + len): old bytes are dropped, bytes
// ahead are held, in-order bytes enter the stream (framed in next_message).
void place(filter_tcpstream_t* self, State& st, Direction& d, uint32_t seq, const uint8_t* data, size_t len)
{
    st.seg = nullptr;
    st.seg_len = 0;
    for (int attempt = 0; attempt < 2 && len; attempt++) {
        if (seq_before(seq, d.next_seq)) {
            const size_t old = d.next_seq - seq;
            if (old >= len) {
                self->retransmitted_bytes += len;
                return;
            }
            self->retransmitted_bytes += old;
            data += old;
            len -= old;
            seq = d.next_seq;
        }
        if (seq != d.next_seq) {
            if (hold_ahead(self, st, d, seq, data, len)) {
                return;
            }
            self->buffer_overflows++;
            const bool resumes_here = d.ahead.empty();
            give_up_hole(self, st, d);
            if (resumes_here) {
                d.next_seq = seq;
            }
            continue;
        }
        // Pieces held out of order, or whole messages left by a gap: behind them.
        if ((!d.ahead.empty() || d.pending) && d.buffer != tvx::BufferPool::none) {
            append_in_order(self, st, d, data, len);
            return;
        }
        d.next_seq += static_cast<uint32_t>(len);
        if (d.skip) {
            const size_t passed = d.skip < len ? d.skip : len;
            d.skip -= static_cast<uint32_t>(passed);
            data += passed;
            len -= passed;
        }
        if (d.held && len) {
            const size_t used = fill_partial(self, st, d, data, len);
            data += used;
            len -= used;
            if (d.skip) {
                const size_t passed = d.skip < len ? d.skip : len;
                d.skip -= static_cast<uint32_t>(passed);
                data += passed;
                len -= passed;
            }
        }
        st.seg = data;
        st.seg_len = len;
        st.seg_seq = d.next_seq - static_cast<uint32_t>(len);
        return;
    }
}

// The peer acknowledged bytes of `d` that the capture never showed: the hole
// cannot fill any more.
void check_acknowledged(filter_tcpstream_t* self, State& st, Direction& d, uint32_t ack)
{
    if (!d.synced || d.closed || !holds_bytes(d) || !seq_before(d.next_seq, ack)) {
        return;
    }
    if (ack - d.next_seq >= (1u << 30)) {
        return;
    }
    const bool resumes_at_ack = d.ahead.empty();
    give_up_hole(self, st, d);
    if (resumes_at_ack) {
        d.next_seq = ack;
    }
}

const core_object_t* emit(filter_tcpstream_t* self, State& st, const uint8_t* message, size_t len)
{
    const Run& run = st.run;
    const uint32_t hi = run.seq + static_cast<uint32_t>(run.pos);
    st.handed = {reinterpret_cast<const core_object_t*>(&self->payload), run.in_buffer, st.dir->buffer,
                 hi - static_cast<uint32_t>(length_field + len), hi, st.flows.index_of(st.flow),
                 st.dir == &st.flow->value.dir[0] ? 0 : 1};
    auto& payload = self->payload;
    payload.obj_prev = st.below;
    payload.payload = message;
    payload.len = len;
    payload.padding = 0;
    self->messages++;
    return reinterpret_cast<const core_object_t*>(&payload);
}

// The next whole message of the run, or null when the run has no more.
const core_object_t* frame_next(filter_tcpstream_t* self, State& st, Direction& d)
{
    Run& run = st.run;
    if (d.skip) {
        const size_t passed = d.skip < run.len - run.pos ? d.skip : run.len - run.pos;
        d.skip -= static_cast<uint32_t>(passed);
        run.pos += passed;
    }
    const size_t left = run.len - run.pos;
    if (left < length_field) {
        return nullptr;
    }
    const uint8_t* at = run.data + run.pos;
    const size_t len = read_u16(at);
    if (d.resync) {
        const bool complete_header = left >= length_field + dns_header;
        if (len < dns_header || (complete_header && !plausible(at + length_field, len))) {
            self->resync_bytes += left;
            run.pos = run.len;
            return nullptr;
        }
        if (!complete_header) {
            return nullptr;
        }
        d.resync = false;
    }
    if (left < length_field + len) {
        return nullptr;
    }
    run.pos += length_field + len;
    return emit(self, st, at + length_field, len);
}

// After a run: the rest of a segment is held, the handed-out part of the
// buffer goes.
void finish_run(filter_tcpstream_t* self, State& st, Direction& d)
{
    Run& run = st.run;
    run.active = false;
    const size_t capacity = st.buffers.size();
    if (!run.in_buffer) {
        const size_t rest = run.len - run.pos;
        if (!rest) {
            return;
        }
        const uint8_t* at = run.data + run.pos;
        if (rest >= length_field && length_field + read_u16(at) > capacity) {
            self->buffer_overflows++;
            d.skip = static_cast<uint32_t>(length_field + read_u16(at) - rest);
            return;
        }
        if (!ensure_buffer(st, d)) {
            // No buffer free: the message is lost, the stream goes on.
            self->buffer_overflows++;
            d.resync = true;
            return;
        }
        memcpy(st.buffers.at(d.buffer), at, rest);
        d.held = static_cast<uint32_t>(rest);
        keep_segment(self, st, d);
        return;
    }
    const uint32_t used = static_cast<uint32_t>(run.pos);
    if (used) {
        uint8_t* buf = st.buffers.at(d.buffer);
        const uint32_t extent = d.ahead.extent() > d.held ? d.ahead.extent() : d.held;
        memmove(buf, buf + used, extent - used);
        d.held -= used;
        d.ahead.drop_front(used);
        trim_carriers(st, d);
    }
    if (d.held >= length_field && length_field + read_u16(st.buffers.at(d.buffer)) > capacity) {
        drop_held(self, st, d);
    }
    if (!holds_bytes(d)) {
        release_buffer(st, d);
    }
}

void finish_segment(filter_tcpstream_t* self, State& st)
{
    st.working = false;
    Slot* slot = st.flow;
    Direction& d = *st.dir;
    if (d.fin && !d.closed && d.next_seq == d.fin_seq) {
        if (holds_bytes(d)) {
            self->truncated++;
        }
        release_buffer(st, d);
        d.closed = true;
    }
    const Direction& other = slot->value.dir[&d == &slot->value.dir[0] ? 1 : 0];
    if (d.closed && (other.closed || !other.synced)) {
        release_flow(self, st, slot);
    }
}

// The next message of the segment being worked through, or null when it is done.
const core_object_t* next_message(filter_tcpstream_t* self, State& st)
{
    while (st.working) {
        Direction& d = *st.dir;
        if (st.run.active) {
            if (const core_object_t* message = frame_next(self, st, d)) {
                return message;
            }
            finish_run(self, st, d);
            continue;
        }
        if (d.pending) {
            d.pending = false;
            if (d.held) {
                st.run = {st.buffers.at(d.buffer), d.held, 0, true, true, buffer_seq(st, d)};
                continue;
            }
        }
        if (st.seg_len) {
            st.run = {st.seg, st.seg_len, 0, false, true, st.seg_seq};
            st.seg_len = 0;
            continue;
        }
        finish_segment(self, st);
    }
    return nullptr;
}

bool make_key(const core_object_tcp_t& tcp, Key& key, int& side)
{
    const core_object_t* net = tcp.obj_prev;
    if (!net) {
        return false;
    }
    const uint8_t* src;
    const uint8_t* dst;
    size_t size;
    if (net->obj_type == CORE_OBJECT_IP) {
        const auto& ip = *reinterpret_cast<const core_object_ip_t*>(net);
        src = ip.src;
        dst = ip.dst;
        size = sizeof(ip.src);
    } else if (net->obj_type == CORE_OBJECT_IP6) {
        const auto& ip6 = *reinterpret_cast<const core_object_ip6_t*>(net);
        src = ip6.src;
        dst = ip6.dst;
        size = sizeof(ip6.src);
    } else {
        return false;
    }
    memset(&key, 0, sizeof(key));
    key.family = static_cast<uint8_t>(size);
    int order = memcmp(src, dst, size);
    if (order == 0) {
        order = int(tcp.sport) - int(tcp.dport);
    }
    side = order <= 0 ? 0 : 1;
    memcpy(key.addr_low, side == 0 ? src : dst, size);
    memcpy(key.addr_high, side == 0 ? dst : src, size);
    key.port_low = side == 0 ? tcp.sport : tcp.dport;
    key.port_high = side == 0 ? tcp.dport : tcp.sport;
    return true;
}

void expire_idle(filter_tcpstream_t* self, State& st)
{
    const int64_t idle = tvx::span_ns(self->idle_timeout);
    if (idle <= 0 || st.now == INT64_MIN) {
        return;
    }
    while (Slot* oldest = st.flows.oldest()) {
        if (!tvx::older_than(oldest->value.last_seen, st.now, idle)) {
            break;
        }
        self->idle_expired++;
        release_flow(self, st, oldest);
    }
}

// Takes a TCP payload of a followed flow and starts working through it;
// false for anything that passes unchanged.
bool accept(filter_tcpstream_t* self, State& st, const core_object_t* obj)
{
    if (obj->obj_type != CORE_OBJECT_PAYLOAD || !obj->obj_prev || obj->obj_prev->obj_type != CORE_OBJECT_TCP) {
        return false;
    }
    const auto& payload = *reinterpret_cast<const core_object_payload_t*>(obj);
    const auto& tcp = *reinterpret_cast<const core_object_tcp_t*>(obj->obj_prev);
    if (self->port && tcp.sport != self->port && tcp.dport != self->port) {
        return false;
    }
    Key key;
    int side;
    if (!make_key(tcp, key, side)) {
        return false;
    }
    self->segments++;
    st.handed.message = nullptr;
    const int64_t when = tvx::capture_ns(obj, st.now);
    if (when > st.now) {
        st.now = when;
    }
    expire_idle(self, st);

    const size_t len = payload.payload ? payload.len : 0;
    Slot* slot = st.flows.find(key);
    if (!slot) {
        // Nothing to follow in a reset, or in a bare ACK or FIN of a flow never seen.
        if ((tcp.flags & tcp_rst) || (!(tcp.flags & tcp_syn) && len == 0)) {
            return true;
        }
        if (st.flows.full()) {
            self->flows_dropped++;
            release_flow(self, st, st.flows.oldest());
        }
        slot = st.flows.insert(key);
        self->flows++;
        if (st.syns.active()) {
            st.syns.at(st.flows.index_of(slot)).clear();
        }
    }
    slot->value.last_seen = st.now;
    Direction& d = slot->value.dir[side];
    if (tcp.flags & tcp_rst) {
        for (const auto& direction : slot->value.dir) {
            if (holds_bytes(direction)) {
                self->truncated++;
            }
        }
        release_flow(self, st, slot);
        return true;
    }
    if (tcp.flags & tcp_ack) {
        check_acknowledged(self, st, slot->value.dir[1 - side], tcp.ack);
    }
    uint32_t seq = tcp.seq;
    if (tcp.flags & tcp_syn) {
        // A new initial sequence number is a new connection on the same
        // ports; the same one again is a retransmitted SYN.
        if (!d.have_isn || d.isn != seq || d.closed) {
            release_buffer(st, d);
            d = Direction{};
            d.next_seq = seq + 1;
            d.isn = seq;
            d.have_isn = true;
            d.synced = true;
            keep_syn(st, slot, side, obj);
        }
        seq += 1;
    }
    if (!d.synced) {
        d.next_seq = seq;
        d.synced = true;
        d.resync = true;
    }
    if (d.closed) {
        return true;
    }
    if ((tcp.flags & tcp_fin) && !d.fin) {
        d.fin = true;
        d.fin_seq = seq + static_cast<uint32_t>(len);
    }
    st.flow = slot;
    st.dir = &d;
    st.below = obj->obj_prev;
    st.seg_obj = obj;
    st.seg_id = self->segments;
    st.seg_lo = seq;
    st.seg_hi = seq + static_cast<uint32_t>(len);
    st.seg_written = false;
    st.run.active = false;
    st.working = true;
    place(self, st, d, seq, payload.payload, len);
    return true;
}

void reset_state(filter_tcpstream_t* self, State& st)
{
    st.flows.reset(self->max_flows);
    st.buffers.reset(self->max_buffers, self->buffer_size);
    st.working = false;
    st.run = {};
    st.now = INT64_MIN;
    st.handed = {};
    self->flows = 0;
    if (self->keep_carriers) {
        st.carriers.reset(self->max_buffers, st.carrier_bytes, max_carriers);
        st.syns.reset(st.flows.capacity(), 2 * max_syn_bytes, 2);
    } else {
        st.carriers.release();
        st.syns.release();
    }
}

void receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<filter_tcpstream_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!obj) {
        TVX_FATAL(self, "obj is nil");
    }
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    // Anything but a TCP payload goes on at once: the UDP path costs this test.
    if (obj->obj_type != CORE_OBJECT_PAYLOAD || !obj->obj_prev || obj->obj_prev->obj_type != CORE_OBJECT_TCP)
        [[likely]] {
        self->recv(self->ctx, obj);
        return;
    }
    State& st = state_of(self);
    if (!accept(self, st, obj)) {
        self->recv(self->ctx, obj);
        return;
    }
    while (const core_object_t* message = next_message(self, st)) {
        self->recv(self->ctx, message);
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<filter_tcpstream_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    State& st = state_of(self);
    for (;;) {
        if (const core_object_t* message = next_message(self, st)) {
            return message;
        }
        const core_object_t* obj = self->prod(self->prod_ctx);
        if (!obj) {
            return nullptr;
        }
        if (!accept(self, st, obj)) {
            return obj;
        }
    }
}

void check_ready(filter_tcpstream_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->state) {
        TVX_FATAL(self, "not initialised");
    }
}

}  // namespace

extern "C" {

core_log_t* filter_tcpstream_log()
{
    return &module_log;
}

void filter_tcpstream_init(filter_tcpstream_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    auto* st = new (std::nothrow) State;
    if (!st) {
        TVX_FATAL(self, "out of memory");
    }
    self->state = st;
    reset_state(self, *st);
}

void filter_tcpstream_destroy(filter_tcpstream_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    delete static_cast<State*>(self->state);
    self->state = nullptr;
}

void filter_tcpstream_set_max_flows(filter_tcpstream_t* self, uint32_t max_flows)
{
    check_ready(self);
    if (max_flows == 0) {
        TVX_FATAL(self, "max_flows must be positive");
    }
    self->max_flows = max_flows;
    reset_state(self, state_of(self));
}

void filter_tcpstream_set_buffers(filter_tcpstream_t* self, uint32_t count, uint32_t size)
{
    check_ready(self);
    if (size < min_buffer_size) {
        TVX_FATAL(self, "buffer size must be at least %u", min_buffer_size);
    }
    self->max_buffers = count;
    self->buffer_size = size;
    reset_state(self, state_of(self));
}

void filter_tcpstream_keep_carriers(filter_tcpstream_t* self, uint32_t bytes_per_buffer)
{
    check_ready(self);
    State& st = state_of(self);
    self->keep_carriers = bytes_per_buffer != 0;
    st.carrier_bytes = bytes_per_buffer;
    reset_state(self, st);
}

// The segments that carried the message handed on last and were not handed
// out before, in the order they came; -1 when `obj` is not that message, 1
// when some could not be kept.
int filter_tcpstream_carriers(filter_tcpstream_t* self, const core_object_t* obj, core_receiver_t recv, void* ctx)
{
    check_ready(self);
    State& st = state_of(self);
    const Handed& handed = st.handed;
    if (!obj || obj != handed.message || !st.carriers.active()) {
        return -1;
    }
    if (!recv) {
        TVX_FATAL(self, "no receiver given");
    }
    hand_syn(st, handed, recv, ctx);
    bool whole = true;
    if (!handed.in_buffer) {
        // The segment being worked through holds the whole message.
        if (!st.seg_written) {
            whole = hand_segment(self, st, recv, ctx);
            st.seg_written = true;
        }
    } else {
        tvx::CarrierStore& store = st.carriers.at(handed.buffer);
        for (tvx::Carrier& carrier : store) {
            if (!carrier.written && meets(carrier.lo, carrier.hi, handed.lo, handed.hi)) {
                recv(ctx, reinterpret_cast<const core_object_t*>(&carrier.packet));
                carrier.written = true;
                st.seg_written = st.seg_written || carrier.id == st.seg_id;
            }
        }
        whole = !(store.lost && seq_before(handed.lo, store.lost_hi));
    }
    if (st.seg_written && st.dir && st.dir->buffer != tvx::BufferPool::none) {
        for (tvx::Carrier& carrier : st.carriers.at(st.dir->buffer)) {
            carrier.written = carrier.written || carrier.id == st.seg_id;
        }
    }
    if (!whole) {
        self->carriers_lost++;
        return 1;
    }
    return 0;
}

core_receiver_t filter_tcpstream_receiver(filter_tcpstream_t* self)
{
    check_ready(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    return receive;
}

core_producer_t filter_tcpstream_producer(filter_tcpstream_t* self)
{
    check_ready(self);
    if (!self->prod) {
        TVX_FATAL(self, "no producer set");
    }
    return produce;
}

}  // extern "C"
