#include "input/dnstap.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "core/detail/cursor.h"
#include "core/detail/decompress.h"
#include "core/detail/frame_streams.h"
#include "core/detail/layer_decode.h"
#include "core/detail/log.h"
#include "core/detail/pcap_file.h"
#include "core/detail/protobuf_in_place.h"
#include "core/detail/stdio_open.h"
#include "core/detail/zreader.h"
#include "dnstap.pb-c.h"

static_assert(std::is_standard_layout_v<input_dnstap_t>);

namespace {

core_log_t module_log = core_log_module_init("input.dnstap");

constexpr const char* content_type = "protobuf:dnstap.Dnstap";
// Records carry raw IP (DLT_RAW); a TCP message of 65535 bytes with its
// length field and headers needs more than 65535.
constexpr uint32_t raw_ip = 12;
constexpr uint32_t snaplen = 262144;

constexpr input_dnstap_t make_defaults()
{
    input_dnstap_t record{};
    record._log = core_log_object_init("input.dnstap", module_log);
    record.snaplen = snaplen;
    record.linktype = raw_ip;
    record.prod_pkt.obj_type = CORE_OBJECT_PCAP;
    record.prod_pkt.snaplen = snaplen;
    record.prod_pkt.linktype = raw_ip;
    record.prod_tap.obj_type = CORE_OBJECT_DNSTAP;
    return record;
}
constexpr input_dnstap_t defaults = make_defaults();

constexpr uint32_t dnstap_message = 1;
constexpr int32_t family_inet = 1;
constexpr int32_t family_inet6 = 2;
constexpr int32_t highest_message_type = 14;
constexpr uint32_t nsec_per_sec = 1000000000;

// protobuf-c allocates the decoded record piece by piece: from this space,
// emptied before every record, so that reading costs no allocation. A
// record that needs more (one crammed with unknown fields) fails to decode
// and is skipped like any undecodable one.
constexpr size_t arena_size = 4 * tvx::fstrm::frame_limit;

// The largest synthesized packet: IPv6 and TCP headers, the length field and
// a DNS message of 65535 bytes.
constexpr size_t ip4_header = 20;
constexpr size_t ip6_header = 40;
constexpr size_t udp_header = 8;
constexpr size_t tcp_header = 20;
constexpr size_t packet_room = ip6_header + tcp_header + 2 + 65535;

// Sequence numbers of the synthesized TCP segments, per direction of a
// connection, so that a packet tool sees each logged connection as one
// stream. A slot taken by another connection starts it over (a jump in the
// numbers, never wrong data).
constexpr size_t flow_slots = 4096;
struct FlowSlot {
    uint64_t key;
    uint32_t next_seq;
};

// Only this many skipped records are told one by one; the count goes on.
constexpr size_t told_skips = 8;

struct Arena {
    uint8_t* base = nullptr;
    size_t used = 0;
};

// A plain log in a regular file is read from a mapping of it: frames are
// then read in place, with no copy through stdio.
struct Mapping {
    const uint8_t* base = nullptr;
    size_t len = 0;
    size_t at = 0;
};

struct State {
    tvx::fstrm::Stream stream;
    Mapping mapping;
    tvx::protobuf::Plan plan{dnstap__dnstap__descriptor};
    Arena arena;
    ProtobufCAllocator allocator{};
    filter_layer_t layer{};
    FlowSlot flows[flow_slots] = {};
    uint8_t packet[packet_room] = {};
};

void* arena_alloc(void* data, size_t size)
{
    auto* arena = static_cast<Arena*>(data);
    const size_t aligned = (size + 15) & ~size_t(15);
    if (aligned < size || aligned > arena_size - arena->used) {
        return nullptr;
    }
    void* block = arena->base + arena->used;
    arena->used += aligned;
    return block;
}

void arena_free(void*, void*) {}

State* state_of(input_dnstap_t* self)
{
    return static_cast<State*>(self->state);
}

// The endpoints and the DNS bytes of one logged message, as sent: from the
// query's sender for a query, from the responder for a response.
struct Message {
    bool ip6 = false;
    bool stream = false;
    uint8_t src[16] = {};
    uint8_t dst[16] = {};
    uint16_t sport = 0;
    uint16_t dport = 0;
    const uint8_t* dns = nullptr;
    size_t dns_len = 0;
};

void put16(uint8_t* at, uint16_t value)
{
    at[0] = uint8_t(value >> 8);
    at[1] = uint8_t(value);
}

void put32(uint8_t* at, uint32_t value)
{
    put16(at, uint16_t(value >> 16));
    put16(at + 2, uint16_t(value));
}

// The Internet checksum's running sum over `len` bytes, in big-endian
// 16-bit words. The bulk is summed eight bytes at a time in host order: a
// ones' complement sum does not depend on byte order (RFC 1071), so the
// folded host-order sum only has its two bytes swapped on a little-endian
// host.
uint64_t sum_words(const uint8_t* at, size_t len, uint64_t sum)
{
    if (len >= 8) {
        uint64_t bulk = 0;
        for (; len >= 8; at += 8, len -= 8) {
            uint64_t word;
            memcpy(&word, at, sizeof(word));
            bulk += (word & 0xffffffffu) + (word >> 32);
        }
        while (bulk >> 16) {
            bulk = (bulk & 0xffff) + (bulk >> 16);
        }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        bulk = uint16_t(bulk << 8 | bulk >> 8);
#endif
        sum += bulk;
    }
    for (; len >= 2; at += 2, len -= 2) {
        sum += uint32_t(at[0] << 8 | at[1]);
    }
    if (len) {
        sum += uint32_t(at[0] << 8);
    }
    return sum;
}

uint16_t fold(uint64_t sum)
{
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return uint16_t(~sum);
}

uint64_t flow_key(const Message& message)
{
    // FNV-1a over the addresses and ports, in sending direction.
    uint64_t hash = 1469598103934665603ull;
    const size_t size = message.ip6 ? 16 : 4;
    auto mix = [&hash](const uint8_t* at, size_t len) {
        for (size_t i = 0; i < len; i++) {
            hash = (hash ^ at[i]) * 1099511628211ull;
        }
    };
    mix(message.src, size);
    mix(message.dst, size);
    const uint8_t ports[4] = {uint8_t(message.sport >> 8), uint8_t(message.sport), uint8_t(message.dport >> 8),
                              uint8_t(message.dport)};
    mix(ports, sizeof(ports));
    return hash | 1;  // 0 marks a free slot
}

FlowSlot& flow_slot(State& state, uint64_t key)
{
    FlowSlot& slot = state.flows[key % flow_slots];
    if (slot.key != key) {
        slot = FlowSlot{key, 1};
    }
    return slot;
}

// Writes the packet for `message` into the state's buffer; its length.
size_t synthesize(State& state, const Message& message)
{
    uint8_t* packet = state.packet;
    const size_t ip_len = message.ip6 ? ip6_header : ip4_header;
    const size_t transport_len = message.stream ? tcp_header + 2 : udp_header;
    const size_t total = ip_len + transport_len + message.dns_len;
    const size_t segment = total - ip_len;
    const size_t address_len = message.ip6 ? 16 : 4;
    const uint8_t protocol = message.stream ? 6 : 17;

    uint64_t pseudo = sum_words(message.src, address_len, 0);
    pseudo = sum_words(message.dst, address_len, pseudo);
    pseudo += protocol + segment;
    if (message.ip6) {
        put32(packet, 0x60000000);
        put16(packet + 4, uint16_t(segment));
        packet[6] = protocol;
        packet[7] = 64;
        memcpy(packet + 8, message.src, 16);
        memcpy(packet + 24, message.dst, 16);
    } else {
        packet[0] = 0x45;
        packet[1] = 0;
        // A DNS message near 65535 bytes cannot be an IPv4 datagram: the
        // length saturates, the bytes stay whole.
        put16(packet + 2, uint16_t(total > 65535 ? 65535 : total));
        put16(packet + 4, 0);
        put16(packet + 6, 0x4000);  // don't fragment
        packet[8] = 64;
        packet[9] = protocol;
        put16(packet + 10, 0);
        memcpy(packet + 12, message.src, 4);
        memcpy(packet + 16, message.dst, 4);
        put16(packet + 10, fold(sum_words(packet, ip4_header, 0)));
    }
    uint8_t* transport = packet + ip_len;
    put16(transport, message.sport);
    put16(transport + 2, message.dport);
    uint8_t* dns = transport + transport_len;
    if (message.stream) {
        FlowSlot& sending = flow_slot(state, flow_key(message));
        Message reverse = message;
        memcpy(reverse.src, message.dst, sizeof(reverse.src));
        memcpy(reverse.dst, message.src, sizeof(reverse.dst));
        reverse.sport = message.dport;
        reverse.dport = message.sport;
        const FlowSlot& answering = flow_slot(state, flow_key(reverse));
        put32(transport + 4, sending.next_seq);
        put32(transport + 8, answering.next_seq);
        sending.next_seq += uint32_t(message.dns_len + 2);
        transport[12] = 5 << 4;
        transport[13] = 0x18;  // PSH, ACK
        put16(transport + 14, 65535);
        put16(transport + 16, 0);
        put16(transport + 18, 0);
        put16(transport + 20, uint16_t(message.dns_len));
    } else {
        put16(transport + 4, uint16_t(segment));
        put16(transport + 6, 0);
    }
    memcpy(dns, message.dns, message.dns_len);
    const uint16_t sum = fold(sum_words(transport, segment, pseudo));
    // A UDP checksum of 0 means "none": the computed 0 is sent as all ones.
    put16(transport + (message.stream ? 16 : 6), message.stream || sum ? sum : 0xffff);
    return total;
}

// What was wrong with a record that gives no message; null when nothing.
using Refusal = const char*;

Refusal take_address(const ProtobufCBinaryData& address, protobuf_c_boolean present, size_t size, uint8_t* out)
{
    if (!present) {
        return nullptr;  // not logged: the unspecified address
    }
    if (address.len != size) {
        return "an address of the wrong length for its family";
    }
    memcpy(out, address.data, size);
    return nullptr;
}

Refusal take_port(protobuf_c_boolean present, uint32_t port, uint16_t& out)
{
    if (present && port > 65535) {
        return "a port over 65535";
    }
    out = present ? uint16_t(port) : 0;
    return nullptr;
}

Refusal take_time(protobuf_c_boolean has_sec, uint64_t sec, protobuf_c_boolean has_nsec, uint32_t nsec,
                  uint8_t& has, core_timespec_t& out)
{
    has = has_sec ? 1 : 0;
    if (has_nsec && nsec >= nsec_per_sec) {
        return "a time with nanoseconds over a second";
    }
    if (sec > uint64_t(INT64_MAX)) {
        return "a time out of range";
    }
    out = core_timespec_t{has_sec ? int64_t(sec) : 0, has_sec && has_nsec ? int64_t(nsec) : 0};
    return nullptr;
}

// Fills the dnstap record and `message` from a decoded log record.
Refusal describe(const Dnstap__Message& logged, core_object_dnstap_t& tap, Message& message)
{
    if (logged.type < 1 || logged.type > highest_message_type) {
        return "an unknown message type";
    }
    tap.message_type = logged.type;
    // Every response type is even, its query type the odd one before it.
    tap.is_response = logged.type % 2 == 0 ? 1 : 0;
    tap.socket_family = logged.has_socket_family ? logged.socket_family : 0;
    tap.socket_protocol = logged.has_socket_protocol ? logged.socket_protocol : 0;
    tap.http_protocol = logged.has_http_protocol ? logged.http_protocol : 0;
    if (Refusal refusal = take_time(logged.has_query_time_sec, logged.query_time_sec, logged.has_query_time_nsec,
                                    logged.query_time_nsec, tap.has_query_time, tap.query_time)) {
        return refusal;
    }
    if (Refusal refusal = take_time(logged.has_response_time_sec, logged.response_time_sec,
                                    logged.has_response_time_nsec, logged.response_time_nsec,
                                    tap.has_response_time, tap.response_time)) {
        return refusal;
    }

    int32_t family = tap.socket_family;
    if (family == 0) {
        // Not logged: the addresses tell, if they are there.
        const size_t len = logged.has_query_address ? logged.query_address.len : logged.response_address.len;
        family = len == 16 ? family_inet6 : family_inet;
    }
    if (family != family_inet && family != family_inet6) {
        return "an unknown socket family";
    }
    message.ip6 = family == family_inet6;
    const size_t size = message.ip6 ? 16 : 4;
    uint8_t query_address[16] = {}, response_address[16] = {};
    uint16_t query_port = 0, response_port = 0;
    Refusal refusal = take_address(logged.query_address, logged.has_query_address, size, query_address);
    if (!refusal) {
        refusal = take_address(logged.response_address, logged.has_response_address, size, response_address);
    }
    if (!refusal) {
        refusal = take_port(logged.has_query_port, logged.query_port, query_port);
    }
    if (!refusal) {
        refusal = take_port(logged.has_response_port, logged.response_port, response_port);
    }
    if (refusal) {
        return refusal;
    }
    // DoH, DoT and DNSCrypt over TCP are streams; DoQ and DNSCrypt over UDP
    // are datagrams to the chain, like plain UDP and an unlogged protocol.
    switch (tap.socket_protocol) {
    case DNSTAP__SOCKET_PROTOCOL__TCP:
    case DNSTAP__SOCKET_PROTOCOL__DOT:
    case DNSTAP__SOCKET_PROTOCOL__DOH:
    case DNSTAP__SOCKET_PROTOCOL__DNSCryptTCP:
        message.stream = true;
        break;
    default:
        message.stream = false;
    }

    const ProtobufCBinaryData& dns = tap.is_response ? logged.response_message : logged.query_message;
    const protobuf_c_boolean has_dns = tap.is_response ? logged.has_response_message : logged.has_query_message;
    if (!has_dns) {
        return tap.is_response ? "no response_message" : "no query_message";
    }
    if (dns.len > 65535) {
        return "a DNS message over 65535 bytes";
    }
    message.dns = dns.data;
    message.dns_len = dns.len;
    const bool from_responder = tap.is_response;
    memcpy(message.src, from_responder ? response_address : query_address, size);
    memcpy(message.dst, from_responder ? query_address : response_address, size);
    message.sport = from_responder ? response_port : query_port;
    message.dport = from_responder ? query_port : response_port;
    return nullptr;
}

void tell_skip(input_dnstap_t* self, const char* why)
{
    self->skipped++;
    if (self->skipped <= told_skips) {
        TVX_WARNING(self, "dnstap record %zu skipped: %s", self->pkts, why);
        if (self->skipped == told_skips) {
            TVX_WARNING(self, "further skipped records are only counted");
        }
    }
}

// Builds the current message from one data frame; false (told and counted)
// when the frame gives none.
// The record in `frame`: decoded in place when the fast path can, else by
// protobuf-c, which then also decides whether it is a record at all.
Dnstap__Dnstap* unpack(State& state, const tvx::fstrm::Data& frame)
{
    ProtobufCMessage* decoded = nullptr;
    if (tvx::protobuf::decode_in_place(state.plan, frame.bytes, frame.len, state.allocator,
                                       decoded) == tvx::protobuf::InPlace::decoded) {
        return reinterpret_cast<Dnstap__Dnstap*>(decoded);
    }
    state.arena.used = 0;
    return dnstap__dnstap__unpack(&state.allocator, frame.len, frame.bytes);
}

bool take_frame(input_dnstap_t* self, const tvx::fstrm::Data& frame)
{
    State& state = *state_of(self);
    self->pkts++;
    self->top = nullptr;
    state.arena.used = 0;
    Dnstap__Dnstap* record = unpack(state, frame);
    if (!record) {
        tell_skip(self, "not a dnstap record (bad or missing protobuf fields)");
        return false;
    }
    if (record->type != dnstap_message || !record->message) {
        tell_skip(self, "not a message record");
        return false;
    }
    core_object_dnstap_t& tap = self->prod_tap;
    Message message;
    if (Refusal refusal = describe(*record->message, tap, message)) {
        tell_skip(self, refusal);
        return false;
    }
    tap.obj_prev = reinterpret_cast<const core_object_t*>(&self->prod_pkt);
    tap.frame = frame.bytes;
    tap.frame_len = frame.len;

    const size_t length = synthesize(state, message);
    core_object_pcap_t& pkt = self->prod_pkt;
    pkt.ts = tap.is_response ? tap.response_time : tap.query_time;
    pkt.caplen = uint32_t(length);
    pkt.len = uint32_t(length);
    pkt.bytes = state.packet;

    const core_object_t* top = tvx::layer::decode_ip(&state.layer, reinterpret_cast<const core_object_t*>(&tap),
                                                     state.packet, length);
    if (top != reinterpret_cast<const core_object_t*>(&state.layer.payload)) {
        tell_skip(self, "a message that does not make a packet");
        return false;
    }
    if (message.stream) {
        // Messages over TCP go on without their length field.
        state.layer.payload.payload += 2;
        state.layer.payload.len -= 2;
    }
    self->top = top;
    return true;
}

// Bytes straight from the mapping; a frame's bytes stay valid until the
// mapping goes.
struct MappedSource {
    Mapping& mapping;
    size_t take(size_t count, uint8_t*, const uint8_t** view)
    {
        const size_t left = mapping.len - mapping.at;
        if (left < count) {
            mapping.at = mapping.len;
            return left;
        }
        *view = mapping.base + mapping.at;
        mapping.at += count;
        return count;
    }
};

// Maps the rest of a plain regular file from the stream's position; the
// reader stays on stdio when the file cannot be mapped (a pipe, say).
void map_plain(input_dnstap_t* self, Mapping& mapping)
{
    struct stat st;
    const int fd = fileno(self->file);
    const off_t position = ftello(self->file);
    if (fd < 0 || position < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= position) {
        return;
    }
    void* base = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (base == MAP_FAILED) {
        return;
    }
    madvise(base, size_t(st.st_size), MADV_SEQUENTIAL);
    mapping = Mapping{static_cast<const uint8_t*>(base), size_t(st.st_size), size_t(position)};
}

void unmap(Mapping& mapping)
{
    if (mapping.base) {
        munmap(const_cast<uint8_t*>(mapping.base), mapping.len);
        mapping = Mapping{};
    }
}

// Calls `use` with the reader's byte source: the mapping, plain stdio, or
// the decoded stream of its compression.
struct StdioSource {
    FILE* file;
    size_t take(size_t count, uint8_t* dst, const uint8_t** view)
    {
        *view = dst;
        return fread_unlocked(dst, 1, count, file);
    }
};

template <class Use>
auto with_source(input_dnstap_t* self, tvx::LogSite site, Use&& use)
{
    if (self->compression == input_zpcap_type_none) {
        if (State* state = state_of(self); state && state->mapping.base) {
            MappedSource source{state->mapping};
            return use(source);
        }
        StdioSource source{self->file};
        return use(source);
    }
    return tvx::zreader::with_stdio_source(self, site, use);
}

// The next message, or false at the end or when broken.
template <class Source>
bool next_message(input_dnstap_t* self, Source& source)
{
    State& state = *state_of(self);
    tvx::fstrm::Data frame;
    for (;;) {
        switch (tvx::fstrm::next(state.stream, source, self->buf, frame, TVX_LOG_HANDLE(self), TVX_HERE)) {
        case tvx::fstrm::Next::data:
            if (take_frame(self, frame)) {
                return true;
            }
            continue;
        case tvx::fstrm::Next::end:
            return false;
        case tvx::fstrm::Next::broken:
            self->is_broken = 1;
            return false;
        }
    }
}

void release_state(input_dnstap_t* self)
{
    if (State* state = state_of(self)) {
        unmap(state->mapping);
        free(state->arena.base);
        delete state;
        self->state = nullptr;
    }
    free(self->buf);
    self->buf = nullptr;
}

int start(input_dnstap_t* self)
{
    if (self->compression != input_zpcap_type_none) {
        const int result = tvx::zreader::start_decoder(*self, self->file, TVX_LOG_SITE(self));
        if (result != 0) {
            return result;
        }
    }
    if (self->use_fadvise) {
        tvx::pcap::advise_sequential(self->file);
    }
    release_state(self);
    auto* state = new (std::nothrow) State;
    self->buf = static_cast<uint8_t*>(malloc(tvx::fstrm::frame_limit));
    if (!state || !self->buf) {
        TVX_FATAL(self, "out of memory");
    }
    self->state = state;
    state->arena.base = static_cast<uint8_t*>(malloc(arena_size));
    if (!state->arena.base) {
        TVX_FATAL(self, "out of memory");
    }
    state->allocator = ProtobufCAllocator{arena_alloc, arena_free, &state->arena};
    filter_layer_init(&state->layer);
    if (self->compression == input_zpcap_type_none) {
        map_plain(self, state->mapping);
    }
    const int result = with_source(self, TVX_LOG_SITE(self), [self, state](auto& source) {
        return tvx::fstrm::open(state->stream, source, content_type, TVX_LOG_HANDLE(self), TVX_HERE);
    });
    if (result != 0) {
        release_state(self);
        return result;
    }
    TVX_DEBUG(self, "Frame Streams %s", content_type);
    return 0;
}

void check_opened(input_dnstap_t* self)
{
    if (!self->file || !self->state) {
        TVX_FATAL(self, "no dnstap file opened");
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<input_dnstap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (self->is_broken) {
        TVX_WARNING(self, "dnstap file is broken, will not read next message");
        return nullptr;
    }
    const bool got = with_source(self, TVX_LOG_SITE(self), [self](auto& source) { return next_message(self, source); });
    return got ? reinterpret_cast<const core_object_t*>(&self->prod_pkt) : nullptr;
}

// The chain top for a PCAP record of the current message: the record given
// (a gap filter's shifted copy, say) becomes the chain's base.
const core_object_t* chain_of(input_dnstap_t* self, const core_object_t* obj)
{
    if (!obj) {
        return nullptr;
    }
    if (obj->obj_type != CORE_OBJECT_PCAP) {
        TVX_FATAL(self, "obj is not CORE_OBJECT_PCAP");
    }
    const auto* pkt = reinterpret_cast<const core_object_pcap_t*>(obj);
    if (!self->top || pkt->caplen != self->prod_pkt.caplen) {
        return nullptr;
    }
    self->prod_tap.obj_prev = obj;
    return self->top;
}

void chain_receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<input_dnstap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!self->stage_recv) {
        TVX_FATAL(self, "no chain receiver set");
    }
    if (const core_object_t* top = chain_of(self, obj)) {
        self->stage_recv(self->stage_ctx, top);
    }
}

const core_object_t* chain_produce(void* ctx)
{
    auto* self = static_cast<input_dnstap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!self->stage_prod) {
        TVX_FATAL(self, "no chain producer set");
    }
    return chain_of(self, self->stage_prod(self->stage_prod_ctx));
}

}  // namespace

extern "C" core_log_t* input_dnstap_log()
{
    return &module_log;
}

extern "C" void input_dnstap_init(input_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void input_dnstap_destroy(input_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    tvx::decompress::release(tvx::zreader::decoder_slot(self->comp_ctx), TVX_LOG_SITE(self));
    free(self->in);
    self->in = nullptr;
    free(self->out);
    self->out = nullptr;
    release_state(self);
    if (self->file && !self->extern_file) {
        fclose(self->file);
    }
    self->file = nullptr;
}

extern "C" int input_dnstap_have_support(input_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return self->compression == input_zpcap_type_none || tvx::decompress::supported(self->compression) ? 1 : 0;
}

extern "C" int input_dnstap_open(input_dnstap_t* self, const char* file)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_path(self, file, TVX_LOG_SITE(self), start);
}

extern "C" int input_dnstap_openfp(input_dnstap_t* self, FILE* fp)
{
    TVX_CHECK_SELF(self, module_log);
    return tvx::stdio::open_stream(self, fp, TVX_LOG_SITE(self), start);
}

extern "C" void input_dnstap_fadvise_sequential(input_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    self->use_fadvise = 1;
    tvx::pcap::advise_sequential(self->file);
}

extern "C" int input_dnstap_run(input_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    return with_source(self, TVX_LOG_SITE(self), [self](auto& source) {
        while (next_message(self, source)) {
            self->recv(self->ctx, reinterpret_cast<const core_object_t*>(&self->prod_pkt));
        }
        return self->is_broken ? -1 : 0;
    });
}

extern "C" core_producer_t input_dnstap_producer(input_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    check_opened(self);
    return produce;
}

extern "C" core_receiver_t input_dnstap_chain_receiver()
{
    return chain_receive;
}

extern "C" core_producer_t input_dnstap_chain_producer(input_dnstap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return chain_produce;
}
