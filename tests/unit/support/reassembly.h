#pragma once
// Drives layer -> ipfrag -> tcpstream over frames built in memory, in push or
// pull use, and keeps a copy of what comes out with the facts of its chain.
//
//   Pipeline p;
//   Conn c;                                     // 10.0.0.1:40000 <-> 10.0.0.2:53
//   p.feed(c.client(0, syn));  p.feed(c.client(1, ack | psh, framed(query(7))));
//   p.out[0].id()  p.out[0].tcp_seq  p.ts.messages
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/tcp.h"
#include "core/object/udp.h"
#include "filter/ipfrag.h"
#include "filter/layer.h"
#include "filter/tcpstream.h"
#include "frames.h"

namespace reasm {

using frames::Bytes;
using frames::be16;
using frames::be32;
using frames::operator+;

constexpr uint8_t fin = 0x01, syn = 0x02, rst = 0x04, psh = 0x08, ack = 0x10;

// A DNS query for example.com with this id (29 bytes), padded with `extra`
// bytes of additional data so that sizes can be chosen.
inline Bytes query(uint16_t id, size_t extra = 0)
{
    Bytes name = {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0};
    Bytes msg = be16(id) + be16(0x0100) + be16(1) + be16(0) + be16(0) + be16(0) + name + be16(1) + be16(1);
    msg.insert(msg.end(), extra, 0xab);
    return msg;
}

inline Bytes framed(const Bytes& message)
{
    return be16(static_cast<uint16_t>(message.size())) + message;
}

inline Bytes slice(const Bytes& bytes, size_t from, size_t to)
{
    to = to < bytes.size() ? to : bytes.size();
    from = from < to ? from : to;
    return Bytes(bytes.begin() + from, bytes.begin() + to);
}

inline uint16_t checksum(const Bytes& header)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < header.size(); i += 2) {
        sum += uint32_t(header[i] << 8 | header[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return uint16_t(~sum);
}

inline Bytes ip4(const Bytes& src, const Bytes& dst, uint8_t proto, const Bytes& payload, uint16_t id = 1,
                 uint16_t off = 0)
{
    Bytes head = frames::bytes({0x45, 0}) + be16(uint16_t(20 + payload.size())) + be16(id) + be16(off) +
                 frames::bytes({64, proto}) + be16(0) + src + dst;
    const uint16_t sum = checksum(head);
    head[10] = uint8_t(sum >> 8);
    head[11] = uint8_t(sum);
    return head + payload;
}

inline Bytes ip6(const Bytes& src, const Bytes& dst, uint8_t nxt, const Bytes& payload)
{
    return be32(0x60000000) + be16(uint16_t(payload.size())) + frames::bytes({nxt, 64}) + src + dst + payload;
}

inline Bytes tcp(uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ackno, uint8_t flags, const Bytes& data)
{
    return be16(sport) + be16(dport) + be32(seq) + be32(ackno) + frames::bytes({0x50, flags}) + be16(65535) +
           be16(0) + be16(0) + data;
}

inline const Bytes client4 = {10, 0, 0, 1};
inline const Bytes server4 = {10, 0, 0, 2};
inline const Bytes client6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
inline const Bytes server6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// One TCP connection; sequence numbers are given relative to each side's
// initial one (the SYN is at 0, the first data byte at 1).
struct Conn {
    uint32_t client_isn = 1000;
    uint32_t server_isn = 5000;
    uint16_t client_port = 40000;
    uint16_t server_port = 53;
    Bytes client_addr = client4;
    Bytes server_addr = server4;
    bool v6 = false;

    Bytes wrap(const Bytes& src, const Bytes& dst, const Bytes& segment) const
    {
        return v6 ? frames::ether(ip6(src, dst, 6, segment), 0x86dd) : frames::ether(ip4(src, dst, 6, segment));
    }
    // The client's ack field acknowledges server bytes up to `ack_rel`.
    Bytes client(uint32_t rel, uint8_t flags, const Bytes& data = {}, uint32_t ack_rel = 1) const
    {
        return wrap(client_addr, server_addr,
                    tcp(client_port, server_port, client_isn + rel, server_isn + ack_rel, flags, data));
    }
    Bytes server(uint32_t rel, uint8_t flags, const Bytes& data = {}, uint32_t ack_rel = 1) const
    {
        return wrap(server_addr, client_addr,
                    tcp(server_port, client_port, server_isn + rel, client_isn + ack_rel, flags, data));
    }
};

// What came out of the pipeline, copied.
struct Out {
    int type = 0;
    Bytes bytes;
    std::vector<int> chain;
    uint32_t tcp_seq = 0;
    uint16_t sport = 0;
    int64_t ts_sec = 0;
    uint16_t ip_len = 0;
    const core_object_t* obj = nullptr;
    // With keep_carriers(): the frames the reassemblers handed out for it,
    // and whether they said all were there (-1: not a reassembled object).
    std::vector<Bytes> carriers;
    int carriers_result = -1;

    uint16_t id() const { return bytes.size() >= 2 ? uint16_t(bytes[0] << 8 | bytes[1]) : 0xffff; }
};

class Pipeline {
public:
    explicit Pipeline(bool pull = false) : pull_(pull)
    {
        filter_layer_init(&layer);
        filter_ipfrag_init(&frag);
        filter_tcpstream_init(&ts);
        if (pull_) {
            layer.prod = hand_out;
            layer.prod_ctx = this;
            frag.prod = filter_layer_producer(&layer);
            frag.prod_ctx = &layer;
            ts.prod = filter_ipfrag_producer(&frag);
            ts.prod_ctx = &frag;
        } else {
            frag.recv = collect_tcpstream;
            frag.ctx = this;
            ts.recv = collect;
            ts.ctx = this;
            layer.recv = receive_frag;
            layer.ctx = this;
        }
    }
    ~Pipeline()
    {
        filter_tcpstream_destroy(&ts);
        filter_ipfrag_destroy(&frag);
        filter_layer_destroy(&layer);
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // One frame captured at `sec` seconds; its bytes sit in an exactly sized
    // heap block that is freed once the frame has gone through.
    void feed(const Bytes& frame, int64_t sec = 0)
    {
        std::unique_ptr<uint8_t[]> storage(new uint8_t[frame.size() ? frame.size() : 1]);
        if (!frame.empty()) {
            memcpy(storage.get(), frame.data(), frame.size());
        }
        pcap = {};
        pcap.obj_type = CORE_OBJECT_PCAP;
        pcap.snaplen = 65535;
        pcap.linktype = 1;
        pcap.ts = {sec, 0};
        pcap.caplen = pcap.len = static_cast<uint32_t>(frame.size());
        pcap.bytes = storage.get();
        if (pull_) {
            pending_ = reinterpret_cast<const core_object_t*>(&pcap);
            auto produce = filter_tcpstream_producer(&ts);
            while (const core_object_t* obj = produce(&ts)) {
                record(obj);
            }
        } else {
            filter_layer_receiver()(&layer, reinterpret_cast<const core_object_t*>(&pcap));
        }
    }

    // Asks both reassemblers for the packets of every object that comes out.
    void keep_carriers(uint32_t stream_bytes = 196608, uint32_t datagram_bytes = 98304)
    {
        filter_ipfrag_keep_carriers(&frag, datagram_bytes);
        filter_tcpstream_keep_carriers(&ts, stream_bytes);
        ts.fragments = &frag;
        carriers_ = true;
    }

    std::vector<Out> messages() const
    {
        std::vector<Out> only;
        for (const auto& o : out) {
            if (o.type == CORE_OBJECT_PAYLOAD && o.chain.size() > 1 && o.chain[1] == CORE_OBJECT_TCP) {
                only.push_back(o);
            }
        }
        return only;
    }

    std::vector<uint16_t> ids() const
    {
        std::vector<uint16_t> list;
        for (const auto& o : messages()) {
            list.push_back(o.id());
        }
        return list;
    }

    filter_layer_t layer;
    filter_ipfrag_t frag;
    filter_tcpstream_t ts;
    core_object_pcap_t pcap{};
    std::vector<Out> out;

private:
    bool carriers_ = false;
    void record(const core_object_t* obj)
    {
        Out o;
        o.type = obj->obj_type;
        o.obj = obj;
        for (const core_object_t* at = obj; at && o.chain.size() < 16; at = at->obj_prev) {
            o.chain.push_back(at->obj_type);
            if (at->obj_type == CORE_OBJECT_TCP) {
                const auto* t = reinterpret_cast<const core_object_tcp_t*>(at);
                o.tcp_seq = t->seq;
                o.sport = t->sport;
            } else if (at->obj_type == CORE_OBJECT_UDP) {
                o.sport = reinterpret_cast<const core_object_udp_t*>(at)->sport;
            } else if (at->obj_type == CORE_OBJECT_IP) {
                o.ip_len = reinterpret_cast<const core_object_ip_t*>(at)->len;
            } else if (at->obj_type == CORE_OBJECT_PCAP) {
                o.ts_sec = reinterpret_cast<const core_object_pcap_t*>(at)->ts.sec;
            }
        }
        if (obj->obj_type == CORE_OBJECT_PAYLOAD) {
            const auto* p = reinterpret_cast<const core_object_payload_t*>(obj);
            o.bytes.assign(p->payload, p->payload + p->len);
        }
        if (carriers_) {
            o.carriers_result = filter_tcpstream_carriers(&ts, obj, collect_carrier, &o);
            if (o.carriers_result < 0) {
                o.carriers_result = filter_ipfrag_carriers(&frag, obj, collect_carrier, &o);
            }
        }
        out.push_back(o);
    }
    static void collect_carrier(void* ctx, const core_object_t* obj)
    {
        const auto* packet = reinterpret_cast<const core_object_pcap_t*>(obj);
        static_cast<Out*>(ctx)->carriers.emplace_back(packet->bytes, packet->bytes + packet->caplen);
    }
    static void receive_frag(void* ctx, const core_object_t* obj)
    {
        auto* self = static_cast<Pipeline*>(ctx);
        filter_ipfrag_receiver(&self->frag)(&self->frag, obj);
    }
    static void collect_tcpstream(void* ctx, const core_object_t* obj)
    {
        auto* self = static_cast<Pipeline*>(ctx);
        filter_tcpstream_receiver(&self->ts)(&self->ts, obj);
    }
    static void collect(void* ctx, const core_object_t* obj) { static_cast<Pipeline*>(ctx)->record(obj); }
    static const core_object_t* hand_out(void* ctx)
    {
        auto* self = static_cast<Pipeline*>(ctx);
        const core_object_t* obj = self->pending_;
        self->pending_ = nullptr;
        return obj;
    }

    bool pull_;
    const core_object_t* pending_ = nullptr;
};

}  // namespace reasm
