#include "filter/layer.h"

#include <cstring>
#include <type_traits>

#include "core/detail/cursor.h"
#include "core/detail/layer_decode.h"
#include "core/detail/log.h"

static_assert(std::is_standard_layout_v<filter_layer_t>);

namespace {

using tvx::Cursor;
using Object = const core_object_t*;

core_log_t module_log = core_log_module_init("filter.layer");

constexpr filter_layer_t make_defaults()
{
    filter_layer_t record{};
    record._log = core_log_object_init("filter.layer", module_log);
    record.null.obj_type = CORE_OBJECT_NULL;
    record.ether.obj_type = CORE_OBJECT_ETHER;
    record.loop.obj_type = CORE_OBJECT_LOOP;
    record.linuxsll.obj_type = CORE_OBJECT_LINUXSLL;
    for (auto& tag : record.ieee802) {
        tag.obj_type = CORE_OBJECT_IEEE802;
    }
    record.ip.obj_type = CORE_OBJECT_IP;
    record.ip6.obj_type = CORE_OBJECT_IP6;
    record.gre.obj_type = CORE_OBJECT_GRE;
    record.icmp.obj_type = CORE_OBJECT_ICMP;
    record.icmp6.obj_type = CORE_OBJECT_ICMP6;
    record.udp.obj_type = CORE_OBJECT_UDP;
    record.tcp.obj_type = CORE_OBJECT_TCP;
    record.payload.obj_type = CORE_OBJECT_PAYLOAD;
    return record;
}
constexpr filter_layer_t defaults = make_defaults();

// A dropped frame has no result at all.
constexpr Object dropped = nullptr;

template <class Record>
Object as_object(const Record& record)
{
    return reinterpret_cast<Object>(&record);
}

constexpr uint16_t ethertype_ipv4 = 0x0800;
constexpr uint16_t ethertype_ipv6 = 0x86dd;
constexpr uint16_t tpid_8021q = 0x8100;
constexpr uint16_t tpid_8021ad = 0x88a8;
constexpr uint16_t tpid_9100 = 0x9100;
constexpr size_t max_vlan_tags = 3;

constexpr uint8_t proto_hopopts = 0;
constexpr uint8_t proto_icmp = 1;
constexpr uint8_t proto_tcp = 6;
constexpr uint8_t proto_udp = 17;
constexpr uint8_t proto_routing = 43;
constexpr uint8_t proto_fragment = 44;
constexpr uint8_t proto_gre = 47;
constexpr uint8_t proto_icmp6 = 58;
constexpr uint8_t proto_none = 59;

// One frame's decoding: the decoder's records plus where the captured bytes end.
struct Frame {
    filter_layer_t* self;
    const uint8_t* end;

    // The payload rule: `len` reaches at most to the declared end of the
    // datagram, the captured bytes behind it are padding.
    Object payload(Object below, const uint8_t* start, const uint8_t* declared_end)
    {
        const size_t captured = static_cast<size_t>(end - start);
        const size_t declared = declared_end > start ? static_cast<size_t>(declared_end - start) : 0;
        auto& payload = self->payload;
        payload.obj_prev = below;
        payload.payload = start;
        payload.len = declared < captured ? declared : captured;
        payload.padding = captured - payload.len;
        return as_object(payload);
    }

    // `datagram` holds the bytes of the IP datagram from the transport header
    // to `declared_end`; nothing behind it is read as a header.
    Object transport(uint8_t protocol, Object below, Cursor datagram, const uint8_t* declared_end)
    {
        switch (protocol) {
        case proto_icmp:
            return icmp(self->icmp, below, datagram);
        case proto_icmp6:
            return icmp(self->icmp6, below, datagram);
        case proto_gre:
            return gre(below, datagram);
        case proto_udp:
            return udp(below, datagram, declared_end);
        case proto_tcp:
            return tcp(below, datagram, declared_end);
        default:
            return below;
        }
    }

    template <class Record>
    Object icmp(Record& record, Object below, Cursor header)
    {
        record.obj_prev = below;
        if (!header.take_u8(record.type) || !header.take_u8(record.code) || !header.take_u16be(record.cksum)) {
            return below;
        }
        return as_object(record);
    }

    Object gre(Object below, Cursor header)
    {
        auto& gre = self->gre;
        gre.obj_prev = below;
        if (!header.take_u16be(gre.gre_flags) || !header.take_u16be(gre.ether_type)) {
            return below;
        }
        return as_object(gre);
    }

    Object udp(Object below, Cursor header, const uint8_t* datagram_end)
    {
        auto& udp = self->udp;
        udp.obj_prev = below;
        const uint8_t* start = header.at;
        if (!header.take_u16be(udp.sport) || !header.take_u16be(udp.dport) || !header.take_u16be(udp.ulen) ||
            !header.take_u16be(udp.sum)) {
            return below;
        }
        // A UDP length beyond the IP datagram cannot make link-layer padding payload.
        const size_t inside = static_cast<size_t>(datagram_end - start);
        const uint8_t* udp_end = start + (udp.ulen < inside ? udp.ulen : inside);
        return payload(as_object(udp), header.at, udp_end);
    }

    Object tcp(Object below, Cursor header, const uint8_t* datagram_end)
    {
        auto& tcp = self->tcp;
        tcp.obj_prev = below;
        uint8_t offset_byte;
        if (!header.take_u16be(tcp.sport) || !header.take_u16be(tcp.dport) || !header.take_u32be(tcp.seq) ||
            !header.take_u32be(tcp.ack) || !header.take_u8(offset_byte) || !header.take_u8(tcp.flags) ||
            !header.take_u16be(tcp.win) || !header.take_u16be(tcp.sum) || !header.take_u16be(tcp.urp)) {
            return below;
        }
        tcp.off = offset_byte >> 4;
        tcp.x2 = offset_byte & 0x0f;
        tcp.opts_len = tcp.off > 5 ? tcp.off * 4u - 20u : 0;
        if (!header.take_bytes(tcp.opts, tcp.opts_len)) {
            return below;
        }
        return payload(as_object(tcp), header.at, datagram_end);
    }

    // `rest` runs from the first IP byte to the end of the frame.
    Object ip(Object below, Cursor rest)
    {
        if (!rest.left) {
            return below;
        }
        switch (rest.at[0] >> 4) {
        case 4:
            return ipv4(below, rest);
        case 6:
            return ipv6(below, rest);
        default:
            return below;
        }
    }

    Object ipv4(Object below, Cursor rest)
    {
        auto& ip = self->ip;
        ip.obj_prev = below;
        const uint8_t* start = rest.at;
        uint8_t version_length = 0;
        rest.take_u8(version_length);  // present: ip() saw the version nibble
        ip.v = version_length >> 4;
        ip.hl = version_length & 0x0f;
        if (!rest.take_u8(ip.tos) || !rest.take_u16be(ip.len) || !rest.take_u16be(ip.id) ||
            !rest.take_u16be(ip.off) || !rest.take_u8(ip.ttl) || !rest.take_u8(ip.p) || !rest.take_u16be(ip.sum) ||
            !rest.take_bytes(ip.src, sizeof(ip.src)) || !rest.take_bytes(ip.dst, sizeof(ip.dst))) {
            return below;
        }
        const size_t header_len = ip.hl * 4u;
        if (ip.hl < 5 || !rest.skip(header_len - 20) || ip.len < header_len) {
            return below;
        }
        // A datagram cut by a small snapshot length is not decoded above the link layer.
        const size_t inside = ip.len - header_len;
        if (rest.left < inside) {
            return below;
        }
        const uint8_t* declared_end = start + ip.len;
        // More-fragments or an offset (don't-fragment alone is a whole datagram).
        if (ip.off & 0x3fff) {
            return payload(as_object(ip), rest.at, declared_end);
        }
        return transport(ip.p, as_object(ip), rest.prefix(inside), declared_end);
    }

    Object ipv6(Object below, Cursor rest)
    {
        auto& ip6 = self->ip6;
        ip6.obj_prev = below;
        ip6.is_frag = 0;
        ip6.have_rtdst = 0;
        const uint8_t* start = rest.at;
        if (!rest.take_u32be(ip6.flow) || !rest.take_u16be(ip6.plen) || !rest.take_u8(ip6.nxt) ||
            !rest.take_u8(ip6.hlim) || !rest.take_bytes(ip6.src, sizeof(ip6.src)) ||
            !rest.take_bytes(ip6.dst, sizeof(ip6.dst))) {
            return below;
        }
        if (rest.left < ip6.plen) {
            return below;
        }
        const uint8_t* declared_end = start + 40 + ip6.plen;
        Cursor walk = rest.prefix(ip6.plen);
        uint8_t next = ip6.nxt;
        switch (extension_walk(walk, next)) {
        case Walk::malformed:
            return dropped;
        case Walk::rest_missing:
            return as_object(ip6);
        case Walk::done:
            break;
        }
        if (next == proto_none || ip6.is_frag) {
            return payload(as_object(ip6), walk.at, declared_end);
        }
        return transport(next, as_object(ip6), walk, declared_end);
    }

    enum class Walk { done, malformed, rest_missing };

    // Walks the extension headers inside the datagram, leaving `walk` at the
    // first byte after them and `next` at the protocol that follows. A walk
    // that runs short inside a header ends at the end of the datagram with the
    // last next-header value read; one whose pending rest of a header is not
    // there at all reports it (no transport header is looked for then).
    // A malformed chain drops the frame.
    Walk extension_walk(Cursor& walk, uint8_t& next)
    {
        auto& ip6 = self->ip6;
        size_t pending = 0;  // rest of the previous header, in 8-byte units
        auto ran_short = [&walk]() {
            walk.skip(walk.left);
            return Walk::done;
        };
        for (;;) {
            // The rest of the previous header goes first, so that the next
            // protocol's header is never read from inside it.
            if (pending) {
                if (!walk.skip(pending * 8)) {
                    return Walk::rest_missing;
                }
                pending = 0;
            }
            switch (next) {
            case proto_none:
            case proto_gre:
            case proto_icmp6:
            case proto_udp:
            case proto_tcp:
                return Walk::done;
            case proto_fragment: {
                if (ip6.is_frag) {
                    return Walk::malformed;
                }
                uint8_t reserved;
                uint16_t offset_flags;
                uint32_t ident;
                if (!walk.take_u8(next) || !walk.take_u8(reserved)) {
                    return ran_short();
                }
                if (reserved) {
                    return Walk::malformed;
                }
                if (!walk.take_u16be(offset_flags)) {
                    return ran_short();
                }
                ip6.frag_offlg = offset_flags;
                if (!walk.take_u32be(ident)) {
                    return ran_short();
                }
                ip6.frag_ident = static_cast<uint16_t>(ident);
                ip6.is_frag = 1;
                // Behind a fragment other than the first lie data bytes, not headers.
                if (offset_flags & 0xfff8) {
                    return Walk::done;
                }
                break;
            }
            case proto_routing: {
                if (ip6.have_rtdst) {
                    return Walk::malformed;
                }
                uint8_t ext_len, routing_type, segments_left;
                if (!walk.take_u8(next) || !walk.take_u8(ext_len) || !walk.take_u8(routing_type) ||
                    !walk.take_u8(segments_left) || !walk.skip(4)) {
                    return ran_short();
                }
                if (routing_type != 0 || segments_left == 0) {
                    pending = ext_len;
                    break;
                }
                // Type 0: a list of 16-byte addresses, the last one the final destination.
                if (ext_len & 1) {
                    return Walk::malformed;
                }
                if (ext_len) {
                    const uint8_t* addresses;
                    if (!walk.take_view(addresses, ext_len * 8u)) {
                        return ran_short();
                    }
                    memcpy(ip6.rtdst, addresses + ext_len * 8u - 16, sizeof(ip6.rtdst));
                    ip6.have_rtdst = 1;
                }
                break;
            }
            case proto_hopopts:
            default: {
                uint8_t ext_len;
                if (!walk.take_u8(next) || !walk.take_u8(ext_len) || !walk.skip(6)) {
                    return ran_short();
                }
                pending = ext_len;
                break;
            }
            }
        }
    }

    Object vlan(uint16_t tpid, Object below, Cursor rest)
    {
        auto* tag = &self->ieee802[0];
        tag->obj_prev = below;
        tag->tpid = tpid;
        for (;;) {
            uint16_t control, type;
            if (!rest.take_u16be(control) || !rest.take_u16be(type)) {
                return below;
            }
            tag->pcp = control >> 13;
            tag->dei = (control >> 12) & 1;
            tag->vid = control & 0xff;
            tag->ether_type = type;
            if (type == ethertype_ipv4 || type == ethertype_ipv6) {
                return ip(as_object(*tag), rest);
            }
            if (type != tpid_8021ad && type != tpid_9100) {
                return below;
            }
            // A fourth tag drops the frame; the slot index stays a valid one.
            if (self->n_ieee802 + 1 >= max_vlan_tags) {
                return dropped;
            }
            self->n_ieee802++;
            auto* inner = &self->ieee802[self->n_ieee802];
            inner->obj_prev = as_object(*tag);
            inner->tpid = type;
            below = as_object(*tag);
            tag = inner;
        }
    }

    // Ethernet and Linux cooked frames announce what follows with an
    // EtherType; a type the decoder does not follow leaves the PCAP record.
    Object link_ethertype(uint16_t type, Object link, Object pcap, Cursor rest)
    {
        switch (type) {
        case ethertype_ipv4:
        case ethertype_ipv6:
            return ip(link, rest);
        case tpid_8021q:
        case tpid_8021ad:
        case tpid_9100:
            return vlan(type, link, rest);
        default:
            return pcap;
        }
    }

    Object ether(Object pcap, Cursor rest)
    {
        auto& ether = self->ether;
        ether.obj_prev = pcap;
        if (!rest.take_bytes(ether.dhost, sizeof(ether.dhost)) || !rest.take_bytes(ether.shost, sizeof(ether.shost)) ||
            !rest.take_u16be(ether.type)) {
            return pcap;
        }
        return link_ethertype(ether.type, as_object(ether), pcap, rest);
    }

    Object linuxsll(Object pcap, Cursor rest)
    {
        auto& sll = self->linuxsll;
        sll.obj_prev = pcap;
        if (!rest.take_u16be(sll.packet_type) || !rest.take_u16be(sll.arp_hardware) ||
            !rest.take_u16be(sll.link_layer_address_length) ||
            !rest.take_bytes(sll.link_layer_address, sizeof(sll.link_layer_address)) ||
            !rest.take_u16be(sll.ether_type)) {
            return pcap;
        }
        return link_ethertype(sll.ether_type, as_object(sll), pcap, rest);
    }

    // The address family of a BSD link header: IPv4, or IPv6 as numbered by
    // the different BSDs. The IP version nibble decides what is decoded.
    static bool is_ip_family(uint32_t family)
    {
        return family == 2 || family == 24 || family == 28 || family == 30;
    }

    template <class Record>
    Object bsd_link(Record& record, uint32_t family, Object pcap, Cursor rest)
    {
        record.family = family;
        if (!is_ip_family(family)) {
            return pcap;
        }
        return ip(as_object(record), rest);
    }

    Object decode(const core_object_pcap_t& pcap)
    {
        self->n_ieee802 = 0;
        const Object base = as_object(pcap);
        // A record without bytes has nothing captured, whatever caplen says.
        Cursor rest(pcap.bytes, pcap.bytes ? pcap.caplen : 0);
        end = rest.at + rest.left;
        switch (pcap.linktype) {
        case 0: {
            self->null.obj_prev = base;
            uint32_t family;
            if (!rest.take_u32host(family)) {
                return base;
            }
            // Written in the byte order of the capturing host.
            return bsd_link(self->null, pcap.is_swapped ? __builtin_bswap32(family) : family, base, rest);
        }
        case 1:
            return ether(base, rest);
        case 12:
        case 228:
        case 229:
            return rest.left ? ip(base, rest) : base;
        case 108: {
            self->loop.obj_prev = base;
            uint32_t family;
            if (!rest.take_u32be(family)) {
                return base;
            }
            return bsd_link(self->loop, family, base, rest);
        }
        case 113:
            return linuxsll(base, rest);
        default:
            return base;
        }
    }
};

Object decode_frame(filter_layer_t* self, const core_object_t* obj)
{
    Frame frame{self, nullptr};
    self->produced = frame.decode(*reinterpret_cast<const core_object_pcap_t*>(obj));
    return self->produced;
}

void receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<filter_layer_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!obj) {
        TVX_FATAL(self, "obj is nil");
    }
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    if (obj->obj_type != CORE_OBJECT_PCAP) {
        TVX_FATAL(self, "obj is not CORE_OBJECT_PCAP");
    }
    if (const Object result = decode_frame(self, obj)) {
        self->recv(self->ctx, result);
    }
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<filter_layer_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!self->prod) {
        TVX_FATAL(self, "no producer set");
    }
    const core_object_t* obj = self->prod(self->prod_ctx);
    if (!obj || obj->obj_type != CORE_OBJECT_PCAP) {
        return nullptr;
    }
    return decode_frame(self, obj);
}

}  // namespace

namespace tvx::layer {

const core_object_t* decode_ip(filter_layer_t* self, const core_object_t* below, const uint8_t* at, size_t len)
{
    Frame frame{self, at + len};
    return frame.ip(below, Cursor(at, len));
}

Cursor fragment_datagram(const core_object_payload_t& payload, const core_object_t* ip)
{
    if (!ip || payload.obj_prev != ip || !payload.payload) {
        return {};
    }
    const uint8_t* declared_end = payload.payload + payload.len;
    if (ip->obj_type == CORE_OBJECT_IP) {
        const auto& ip4 = *reinterpret_cast<const core_object_ip_t*>(ip);
        if (!(ip4.off & 0x3fff) || ip4.len < ip4.hl * 4u) {
            return {};
        }
        return Cursor(declared_end - ip4.len, ip4.len);
    }
    if (ip->obj_type == CORE_OBJECT_IP6) {
        const auto& ip6 = *reinterpret_cast<const core_object_ip6_t*>(ip);
        if (!ip6.is_frag) {
            return {};
        }
        return Cursor(declared_end - 40 - ip6.plen, 40u + ip6.plen);
    }
    return {};
}

}  // namespace tvx::layer

extern "C" core_log_t* filter_layer_log()
{
    return &module_log;
}

extern "C" void filter_layer_init(filter_layer_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void filter_layer_destroy(filter_layer_t* self)
{
    TVX_CHECK_SELF(self, module_log);
}

extern "C" core_receiver_t filter_layer_receiver()
{
    return receive;
}

extern "C" core_producer_t filter_layer_producer(filter_layer_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->prod) {
        TVX_FATAL(self, "no producer set");
    }
    return produce;
}
