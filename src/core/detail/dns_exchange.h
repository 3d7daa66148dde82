#pragma once
// A DNS message as the decoder hands it on (a payload on UDP or TCP, over IP
// or IPv6) with the endpoints it went between, so that components which pair
// queries with responses all tell them apart by the same rule.
//
// How a component uses it:
//   tvx::dns::Exchange msg;
//   if (!tvx::dns::read_exchange(obj, msg) || msg.dport != dns_port) { ...not a query... }
//   msg.payload->payload, msg.payload->len     // the message, without a TCP length field
//   msg.client_addr(to_server) / msg.family    // who asked: the source of a query, the destination of a response
//   tvx::dns::capture_ns(obj)                  // when it was captured, 0 without a capture record
#include <cstddef>
#include <cstdint>

#include "core/detail/dns_question.h"
#include "core/object.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/tcp.h"
#include "core/object/udp.h"

namespace tvx::dns {

struct Exchange {
    const core_object_payload_t* payload = nullptr;
    int32_t kind = 0;  // CORE_OBJECT_UDP or CORE_OBJECT_TCP
    uint16_t sport = 0;
    uint16_t dport = 0;
    uint8_t family = 0;              // 4, 6, or 0 when no IP layer is under it
    const uint8_t* src = nullptr;    // 4 or 16 bytes, by family
    const uint8_t* dst = nullptr;

    size_t addr_len() const { return family == 4 ? 4 : family == 6 ? 16 : 0; }
};

// False unless `obj` is a payload straight on UDP or TCP.
inline bool read_exchange(const core_object_t* obj, Exchange& out)
{
    if (!obj || obj->obj_type != CORE_OBJECT_PAYLOAD) {
        return false;
    }
    out = Exchange{};
    out.payload = reinterpret_cast<const core_object_payload_t*>(obj);
    const core_object_t* transport = out.payload->obj_prev;
    if (!transport) {
        return false;
    }
    if (transport->obj_type == CORE_OBJECT_UDP) {
        const auto* udp = reinterpret_cast<const core_object_udp_t*>(transport);
        out.sport = udp->sport;
        out.dport = udp->dport;
    } else if (transport->obj_type == CORE_OBJECT_TCP) {
        const auto* tcp = reinterpret_cast<const core_object_tcp_t*>(transport);
        out.sport = tcp->sport;
        out.dport = tcp->dport;
    } else {
        return false;
    }
    out.kind = transport->obj_type;
    const core_object_t* network = transport->obj_prev;
    if (network && network->obj_type == CORE_OBJECT_IP) {
        const auto* ip = reinterpret_cast<const core_object_ip_t*>(network);
        out.family = 4;
        out.src = ip->src;
        out.dst = ip->dst;
    } else if (network && network->obj_type == CORE_OBJECT_IP6) {
        const auto* ip6 = reinterpret_cast<const core_object_ip6_t*>(network);
        out.family = 6;
        out.src = ip6->src;
        out.dst = ip6->dst;
    }
    return true;
}

// A query (QR clear) to `port`: the exchange, and its header in `header`.
inline bool read_query(const core_object_t* obj, uint16_t port, Exchange& msg, Question& header)
{
    return read_exchange(obj, msg) && msg.dport == port &&
           read_header(msg.payload->payload, msg.payload->len, header) && header.qr == 0;
}

inline const core_object_pcap_t* capture_record(const core_object_t* obj)
{
    while (obj && obj->obj_type != CORE_OBJECT_PCAP) {
        obj = obj->obj_prev;
    }
    return reinterpret_cast<const core_object_pcap_t*>(obj);
}

}  // namespace tvx::dns
