#include "filter/ipfrag.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "core/detail/capture_time.h"
#include "core/detail/carriers.h"
#include "core/detail/cursor.h"
#include "core/detail/flow_table.h"
#include "core/detail/layer_decode.h"
#include "core/detail/log.h"
#include "core/detail/reassembly.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"

static_assert(std::is_standard_layout_v<filter_ipfrag_t>);

// How fragments are put together:
//
// - A datagram is known by its addresses and identification (IPv4: and its
//   protocol). Its fragments are written at their offsets into a buffer of
//   its own, behind room for the header; the header is the first fragment's
//   (IPv4: its header; IPv6: the fixed header and the extension headers in
//   front of the Fragment header), rewritten as that of the whole datagram:
//   lengths, no fragment flags, and for IPv6 no Fragment header.
// - The pieces held are a bounded list of ranges: more holes than it holds
//   give the datagram up, as inconsistent.
// - Overlaps: a fragment whose bytes are all held already with the same
//   content is a duplicate, ignored. Otherwise IPv6 datagrams with
//   overlapping fragments are dropped; for IPv4 the bytes held first stay.
// - Tiny fragments (a first fragment too short for its transport header, or
//   an IPv4 TCP fragment at offset 8 that could rewrite its flags) and
//   inconsistent ones (a non-last fragment not a multiple of 8 bytes long,
//   an empty one, one reaching past 65535 bytes or past the end the last
//   fragment set, two different ends) drop the datagram.
// - Memory is fixed when the limit is set: one buffer per datagram slot.
//   When all are in use the oldest datagram gives way; a datagram not whole
//   `timeout` after its first fragment (capture time) is given up.
// - Carriers, when kept: each slot also holds copies of the fragments that
//   went into it, in the order they came, so that the datagram handed on can
//   be written as those fragments. Duplicates add nothing and are not kept.
namespace {

core_log_t module_log = core_log_module_init("filter.ipfrag");

constexpr uint32_t default_max_datagrams = 64;
constexpr int64_t default_timeout_seconds = 30;
// Room in front of the data for the header: IPv4 needs at most 60 bytes, an
// IPv6 unfragmentable part longer than this is not reassembled.
constexpr size_t header_room = 1024;
constexpr size_t max_datagram_data = 65535;
constexpr size_t buffer_size = header_room + max_datagram_data;
constexpr size_t max_pieces = 16;
// Fragments kept per datagram: a 65535-byte datagram over a 576-byte path.
constexpr uint32_t max_carriers = 128;

constexpr uint8_t proto_hopopts = 0;
constexpr uint8_t proto_tcp = 6;
constexpr uint8_t proto_udp = 17;
constexpr uint8_t proto_routing = 43;
constexpr uint8_t proto_fragment = 44;
constexpr uint8_t proto_dstopts = 60;

constexpr filter_ipfrag_t make_defaults()
{
    filter_ipfrag_t record{};
    record._log = core_log_object_init("filter.ipfrag", module_log);
    record.max_datagrams = default_max_datagrams;
    record.timeout = {default_timeout_seconds, 0};
    return record;
}
constexpr filter_ipfrag_t defaults = make_defaults();

struct Key {
    uint8_t version;
    uint8_t protocol;
    uint8_t zero[2];
    uint32_t ident;
    uint8_t src[16];
    uint8_t dst[16];
};

struct Datagram {
    int64_t first_seen = 0;
    tvx::RangeSet<max_pieces> have;  // data offsets held
    uint32_t end = 0;                // data length, once the last fragment was seen
    bool have_end = false;
    bool have_first = false;
    uint16_t header_len = 0;
    uint16_t next_header_at = 0;  // IPv6: the next-header byte in front of the Fragment header
    uint8_t next_header = 0;      // IPv6: what the Fragment header announced
};

using Table = tvx::FlowTable<Key, Datagram>;
using Slot = Table::Slot;

struct State {
    Table table;
    tvx::BufferPool buffers;  // one per table slot, by slot index
    int64_t now = INT64_MIN;
    tvx::CarrierPool carriers;  // one per table slot, when kept
    uint32_t carrier_bytes = 0;
    // The datagram handed on last and its slot, until the next fragment.
    const core_object_t* last = nullptr;
    uint32_t last_slot = 0;
};

State& state_of(filter_ipfrag_t* self)
{
    return *static_cast<State*>(self->state);
}

// One fragment as read from the chain the decoder made.
struct Piece {
    Key key;
    bool v6 = false;
    uint32_t offset = 0;
    bool more = false;
    const uint8_t* data = nullptr;
    uint32_t len = 0;
    const uint8_t* header = nullptr;
    uint16_t header_len = 0;
    uint16_t next_header_at = 0;
    uint8_t transport = 0;
    const core_object_t* below = nullptr;  // the record beneath the IP record
    const core_object_pcap_t* packet = nullptr;  // the captured frame
};

enum class Read { fragment, not_fragment, inconsistent };

Read read_v4(const core_object_payload_t& payload, const core_object_ip_t& ip, Piece& piece)
{
    const tvx::Cursor datagram = tvx::layer::fragment_datagram(payload, reinterpret_cast<const core_object_t*>(&ip));
    const size_t header_len = ip.hl * 4u;
    if (!datagram.at || datagram.left < header_len) {
        return Read::not_fragment;
    }
    memset(&piece.key, 0, sizeof(piece.key));
    piece.key.version = 4;
    piece.key.protocol = ip.p;
    piece.key.ident = ip.id;
    memcpy(piece.key.src, ip.src, sizeof(ip.src));
    memcpy(piece.key.dst, ip.dst, sizeof(ip.dst));
    piece.offset = (ip.off & 0x1fffu) * 8u;
    piece.more = ip.off & 0x2000;
    piece.header = datagram.at;
    piece.header_len = static_cast<uint16_t>(header_len);
    piece.data = datagram.at + header_len;
    piece.len = static_cast<uint32_t>(datagram.left - header_len);
    piece.transport = ip.p;
    piece.below = ip.obj_prev;
    return Read::fragment;
}

// The unfragmentable part (hop-by-hop, routing, destination options) is
// walked again to find the Fragment header and its 32-bit identification.
Read read_v6(const core_object_payload_t& payload, const core_object_ip6_t& ip6, Piece& piece)
{
    const tvx::Cursor datagram = tvx::layer::fragment_datagram(payload, reinterpret_cast<const core_object_t*>(&ip6));
    if (!datagram.at) {
        return Read::not_fragment;
    }
    tvx::Cursor walk = datagram;
    walk.skip(40);
    uint8_t next = ip6.nxt;
    size_t next_at = 6;
    while (next != proto_fragment) {
        if (next != proto_hopopts && next != proto_routing && next != proto_dstopts) {
            return Read::not_fragment;
        }
        const size_t here = static_cast<size_t>(walk.at - datagram.at);
        uint8_t ext_len;
        if (!walk.take_u8(next) || !walk.take_u8(ext_len) || !walk.skip(6 + 8u * ext_len)) {
            return Read::inconsistent;
        }
        next_at = here;
    }
    const size_t header_len = static_cast<size_t>(walk.at - datagram.at);
    uint8_t following, reserved;
    uint16_t offset_flags;
    uint32_t ident;
    if (!walk.take_u8(following) || !walk.take_u8(reserved) || !walk.take_u16be(offset_flags) ||
        !walk.take_u32be(ident)) {
        return Read::inconsistent;
    }
    if (header_len > header_room) {
        return Read::inconsistent;
    }
    memset(&piece.key, 0, sizeof(piece.key));
    piece.key.version = 6;
    piece.key.ident = ident;
    memcpy(piece.key.src, ip6.src, sizeof(ip6.src));
    memcpy(piece.key.dst, ip6.dst, sizeof(ip6.dst));
    piece.v6 = true;
    piece.offset = offset_flags & 0xfff8u;
    piece.more = offset_flags & 1;
    piece.header = datagram.at;
    piece.header_len = static_cast<uint16_t>(header_len);
    piece.next_header_at = static_cast<uint16_t>(next_at);
    piece.data = walk.at;
    piece.len = static_cast<uint32_t>(walk.left);
    piece.transport = following;
    piece.below = ip6.obj_prev;
    return Read::fragment;
}

// Whether the decoder made `obj` from a fragment: a payload right on an IP
// record with more-fragments or an offset, or on an IPv6 record with a
// Fragment header. Everything else passes through on this test alone.
inline bool is_fragment(const core_object_t* obj)
{
    if (obj->obj_type != CORE_OBJECT_PAYLOAD || !obj->obj_prev) {
        return false;
    }
    const core_object_t* net = obj->obj_prev;
    if (net->obj_type == CORE_OBJECT_IP) {
        return reinterpret_cast<const core_object_ip_t*>(net)->off & 0x3fff;
    }
    return net->obj_type == CORE_OBJECT_IP6 && reinterpret_cast<const core_object_ip6_t*>(net)->is_frag;
}

Read read_piece(const core_object_t* obj, Piece& piece)
{
    const auto& payload = *reinterpret_cast<const core_object_payload_t*>(obj);
    const core_object_t* net = obj->obj_prev;
    if (net->obj_type == CORE_OBJECT_IP) {
        return read_v4(payload, *reinterpret_cast<const core_object_ip_t*>(net), piece);
    }
    return read_v6(payload, *reinterpret_cast<const core_object_ip6_t*>(net), piece);
}

size_t transport_header_len(uint8_t protocol)
{
    switch (protocol) {
    case proto_tcp:
        return 20;
    case proto_udp:
        return 8;
    default:
        return 0;
    }
}

bool is_tiny(const Piece& piece)
{
    if (piece.offset == 0 && piece.more && piece.len < transport_header_len(piece.transport)) {
        return true;
    }
    return !piece.v6 && piece.transport == proto_tcp && piece.offset == 8;
}

bool is_inconsistent(const Piece& piece)
{
    if (piece.len == 0 || (piece.more && piece.len % 8)) {
        return true;
    }
    const size_t room = piece.v6 ? max_datagram_data : max_datagram_data - piece.header_len;
    return size_t(piece.offset) + piece.len > room;
}

void expire(filter_ipfrag_t* self, State& st)
{
    const int64_t timeout = tvx::span_ns(self->timeout);
    if (timeout <= 0 || st.now == INT64_MIN) {
        return;
    }
    // Slots are never moved on use, so the oldest is the earliest first fragment.
    while (Slot* oldest = st.table.oldest()) {
        if (!tvx::older_than(oldest->value.first_seen, st.now, timeout)) {
            break;
        }
        self->timeouts++;
        st.table.remove(oldest);
    }
}

uint16_t header_checksum(const uint8_t* header, size_t len)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2) {
        sum += uint32_t(header[i] << 8 | header[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

void put_u16(uint8_t* at, size_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// The whole datagram, decoded; its slot is free again (its buffer is only
// written by a later fragment, after the chain handed on is done with).
const core_object_t* complete(filter_ipfrag_t* self, State& st, Slot* slot, const Piece& piece)
{
    Datagram& g = slot->value;
    uint8_t* header = st.buffers.at(st.table.index_of(slot)) + header_room - g.header_len;
    const size_t total = size_t(g.header_len) + g.end;
    if (piece.v6) {
        const size_t plen = total - 40;
        if (plen > max_datagram_data) {
            self->inconsistent++;
            st.table.remove(slot);
            return nullptr;
        }
        put_u16(header + 4, plen);
        header[g.next_header_at] = g.next_header;
    } else {
        if (total > max_datagram_data) {
            self->inconsistent++;
            st.table.remove(slot);
            return nullptr;
        }
        put_u16(header + 2, total);
        // Flags without more-fragments, offset 0.
        header[6] &= 0xc0;
        header[7] = 0;
        put_u16(header + 10, 0);
        put_u16(header + 10, header_checksum(header, g.header_len));
    }
    const uint32_t index = st.table.index_of(slot);
    st.table.remove(slot);
    self->datagrams++;
    const core_object_t* whole = tvx::layer::decode_ip(&self->decoder, piece.below, header, total);
    st.last = whole;
    st.last_slot = index;
    return whole;
}

void drop(filter_ipfrag_t* self, State& st, const Key& key, uint64_t& counter)
{
    counter++;
    if (Slot* slot = st.table.find(key, false)) {
        st.table.remove(slot);
    }
    (void)self;
}

// Adds one fragment; the decoded datagram when it was the last piece missing.
const core_object_t* add(filter_ipfrag_t* self, State& st, const Piece& piece)
{
    if (is_inconsistent(piece)) {
        drop(self, st, piece.key, self->inconsistent);
        return nullptr;
    }
    if (is_tiny(piece)) {
        drop(self, st, piece.key, self->tiny);
        return nullptr;
    }
    Slot* slot = st.table.find(piece.key, false);
    if (!slot) {
        if (st.table.full()) {
            self->dropped++;
            st.table.remove(st.table.oldest());
        }
        slot = st.table.insert(piece.key);
        slot->value.first_seen = st.now;
        if (st.carriers.active()) {
            st.carriers.at(st.table.index_of(slot)).clear();
        }
    }
    Datagram& g = slot->value;
    uint8_t* data = st.buffers.at(st.table.index_of(slot)) + header_room;
    const uint32_t end = piece.offset + piece.len;
    if (!piece.more) {
        if ((g.have_end && g.end != end) || g.have.extent() > end) {
            drop(self, st, piece.key, self->inconsistent);
            return nullptr;
        }
        g.have_end = true;
        g.end = end;
    } else if (g.have_end && end > g.end) {
        drop(self, st, piece.key, self->inconsistent);
        return nullptr;
    }
    const uint32_t held = g.have.covered(piece.offset, end);
    if (held == piece.len && memcmp(data + piece.offset, piece.data, piece.len) == 0) {
        self->duplicates++;
        return nullptr;
    }
    if (held && piece.v6) {
        drop(self, st, piece.key, self->overlaps);
        return nullptr;
    }
    const auto added = g.have.add(piece.offset, end, [&](uint32_t from, uint32_t to) {
        memcpy(data + from, piece.data + (from - piece.offset), to - from);
    });
    if (!added.fits) {
        drop(self, st, piece.key, self->inconsistent);
        return nullptr;
    }
    self->overlap_bytes += added.overlap;
    if (st.carriers.active()) {
        tvx::CarrierStore& store = st.carriers.at(st.table.index_of(slot));
        if (!piece.packet || !store.add(*piece.packet, 0, piece.offset, end)) {
            store.lost = true;
        }
    }
    if (piece.offset == 0 && !g.have_first) {
        memcpy(data - piece.header_len, piece.header, piece.header_len);
        g.header_len = piece.header_len;
        g.next_header_at = piece.next_header_at;
        g.next_header = piece.transport;
        g.have_first = true;
    }
    if (g.have_first && g.have_end && g.have.covers_from_zero(g.end)) {
        return complete(self, st, slot, piece);
    }
    return nullptr;
}

// What a received object becomes: itself (not a fragment), a whole datagram,
// or nothing yet (`taken` with a null result).
const core_object_t* take(filter_ipfrag_t* self, State& st, const core_object_t* obj, bool& taken)
{
    if (!is_fragment(obj)) [[likely]] {
        taken = false;
        return obj;
    }
    st.last = nullptr;
    Piece piece;
    switch (read_piece(obj, piece)) {
    case Read::not_fragment:
        taken = false;
        return obj;
    case Read::inconsistent:
        taken = true;
        self->fragments++;
        self->inconsistent++;
        return nullptr;
    case Read::fragment:
        break;
    }
    taken = true;
    self->fragments++;
    piece.packet = tvx::packet_of(obj);
    const int64_t when = tvx::capture_ns(obj, st.now);
    if (when > st.now) {
        st.now = when;
    }
    expire(self, st);
    return add(self, st, piece);
}

void receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<filter_ipfrag_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!obj) {
        TVX_FATAL(self, "obj is nil");
    }
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    if (!is_fragment(obj)) [[likely]] {
        self->recv(self->ctx, obj);
        return;
    }
    bool taken;
    if (const core_object_t* out = take(self, state_of(self), obj, taken)) {
        self->recv(self->ctx, out);
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<filter_ipfrag_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    for (;;) {
        const core_object_t* obj = self->prod(self->prod_ctx);
        if (!obj) {
            return nullptr;
        }
        bool taken;
        if (const core_object_t* out = take(self, state_of(self), obj, taken)) {
            return out;
        }
    }
}

void reset_state(filter_ipfrag_t* self, State& st)
{
    st.table.reset(self->max_datagrams);
    st.buffers.reset(st.table.capacity(), buffer_size);
    st.now = INT64_MIN;
    st.last = nullptr;
    if (self->keep_carriers) {
        st.carriers.reset(st.table.capacity(), st.carrier_bytes, max_carriers);
    } else {
        st.carriers.release();
    }
}

void check_ready(filter_ipfrag_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->state) {
        TVX_FATAL(self, "not initialised");
    }
}

}  // namespace

extern "C" {

core_log_t* filter_ipfrag_log()
{
    return &module_log;
}

void filter_ipfrag_init(filter_ipfrag_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
    filter_layer_init(&self->decoder);
    auto* st = new (std::nothrow) State;
    if (!st) {
        TVX_FATAL(self, "out of memory");
    }
    self->state = st;
    reset_state(self, *st);
}

void filter_ipfrag_destroy(filter_ipfrag_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    delete static_cast<State*>(self->state);
    self->state = nullptr;
}

void filter_ipfrag_set_max_datagrams(filter_ipfrag_t* self, uint32_t max_datagrams)
{
    check_ready(self);
    if (max_datagrams == 0) {
        TVX_FATAL(self, "max_datagrams must be positive");
    }
    self->max_datagrams = max_datagrams;
    reset_state(self, state_of(self));
}

void filter_ipfrag_keep_carriers(filter_ipfrag_t* self, uint32_t bytes_per_datagram)
{
    check_ready(self);
    State& st = state_of(self);
    self->keep_carriers = bytes_per_datagram != 0;
    st.carrier_bytes = bytes_per_datagram;
    reset_state(self, st);
}

// The fragments of the datagram handed on last, in the order they came;
// -1 when `obj` is not that datagram, 1 when some could not be kept.
int filter_ipfrag_carriers(filter_ipfrag_t* self, const core_object_t* obj, core_receiver_t recv, void* ctx)
{
    check_ready(self);
    State& st = state_of(self);
    if (!obj || obj != st.last || !st.carriers.active()) {
        return -1;
    }
    if (!recv) {
        TVX_FATAL(self, "no receiver given");
    }
    tvx::CarrierStore& store = st.carriers.at(st.last_slot);
    for (tvx::Carrier& carrier : store) {
        recv(ctx, reinterpret_cast<const core_object_t*>(&carrier.packet));
    }
    if (store.lost) {
        self->carriers_lost++;
        return 1;
    }
    return 0;
}

core_receiver_t filter_ipfrag_receiver(filter_ipfrag_t* self)
{
    check_ready(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    return receive;
}

core_producer_t filter_ipfrag_producer(filter_ipfrag_t* self)
{
    check_ready(self);
    if (!self->prod) {
        TVX_FATAL(self, "no producer set");
    }
    return produce;
}

}  // extern "C"
