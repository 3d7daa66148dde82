// layer -> ipfrag -> tcpstream over a run of packets the input describes, with
// small limits so that every limit is reached, pushed and pulled.
// Input: a sequence of operations, each starting with one byte:
//   op & 3 == 0  TCP segment: byte flow (low 2 bits: one of four client ports,
//                bit 2: from the server, bit 3: IPv6), byte flags, 2 bytes
//                sequence offset, 2 bytes ack offset (from initial numbers
//                just below the wrap), byte length, then that many data bytes
//   op & 3 == 1  IPv4 fragment: byte ident (low 2 bits) and protocol (bit 2:
//                TCP), 2 bytes offset-and-more word, byte length, data bytes
//   op & 3 == 2  IPv6 fragment: the same layout
//   op & 3 == 3  raw Ethernet frame: byte length, that many bytes
// op >> 2 is the capture time step in seconds. Both uses must hand on the
// same objects; every message must be a whole one of at most 65535 bytes, on
// a TCP record, and the flow count must stay within its limit.
#include <cstddef>
#include <cstdint>

#include "../tests/unit/support/reassembly.h"
#include "support/check.h"

namespace {

using namespace reasm;

struct Input {
    const uint8_t* at;
    size_t left;
    bool u8(uint8_t& out)
    {
        if (!left) {
            return false;
        }
        out = *at++;
        left--;
        return true;
    }
    bool u16(uint16_t& out)
    {
        uint8_t hi, lo;
        if (!u8(hi) || !u8(lo)) {
            return false;
        }
        out = uint16_t(hi << 8 | lo);
        return true;
    }
    Bytes bytes(size_t count)
    {
        count = count < left ? count : left;
        Bytes out(at, at + count);
        at += count;
        left -= count;
        return out;
    }
};

void limit(Pipeline& p)
{
    filter_tcpstream_set_max_flows(&p.ts, 3);
    filter_tcpstream_set_buffers(&p.ts, 2, 300);
    p.ts.idle_timeout = {20, 0};
    filter_ipfrag_set_max_datagrams(&p.frag, 2);
    p.frag.timeout = {20, 0};
}

bool next_frame(Input& in, Bytes& frame, int64_t& sec)
{
    uint8_t op;
    if (!in.u8(op)) {
        return false;
    }
    sec += op >> 2;
    switch (op & 3) {
    case 0: {
        uint8_t flow, flags, len;
        uint16_t seq, ackno;
        if (!in.u8(flow) || !in.u8(flags) || !in.u16(seq) || !in.u16(ackno) || !in.u8(len)) {
            return false;
        }
        Conn c;
        c.client_isn = 0xffffff00u;
        c.server_isn = 0xfffff000u;
        c.client_port = uint16_t(40000 + (flow & 3));
        if (flow & 8) {
            c.v6 = true;
            c.client_addr = client6;
            c.server_addr = server6;
        }
        const Bytes data = in.bytes(len);
        frame = (flow & 4) ? c.server(seq, flags, data, ackno) : c.client(seq, flags, data, ackno);
        return true;
    }
    case 1:
    case 2: {
        uint8_t select, len;
        uint16_t offlg;
        if (!in.u8(select) || !in.u16(offlg) || !in.u8(len)) {
            return false;
        }
        const uint8_t proto = (select & 4) ? 6 : 17;
        const Bytes data = in.bytes(len);
        if ((op & 3) == 1) {
            frame = frames::ether(ip4(client4, server4, proto, data, uint16_t(select & 3), offlg & 0x3fff));
        } else {
            frame = frames::ether(
                ip6(client6, server6, 44, frames::frag(proto, offlg, 0x10000u + (select & 3), data)), 0x86dd);
        }
        return true;
    }
    default: {
        uint8_t len;
        if (!in.u8(len)) {
            return false;
        }
        frame = in.bytes(len);
        return true;
    }
    }
}

void check_out(const Pipeline& p)
{
    FUZZ_CHECK(p.ts.flows <= 3);
    for (const Out& o : p.out) {
        FUZZ_CHECK(o.bytes.size() <= 65535);
        FUZZ_CHECK(!o.chain.empty() && o.chain.back() == CORE_OBJECT_PCAP);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Built once: setting the limits again forgets every flow and fragment.
    static Pipeline pusher(false), puller(true);
    limit(pusher);
    limit(puller);
    pusher.out.clear();
    puller.out.clear();
    const uint64_t messages_before = puller.ts.messages, gaps_before = puller.ts.gaps;
    const uint64_t datagrams_before = puller.frag.datagrams;
    pusher.ts.messages = messages_before;
    pusher.ts.gaps = gaps_before;
    pusher.frag.datagrams = datagrams_before;
    Input in{data, size};
    Bytes frame;
    int64_t sec = 0;
    while (next_frame(in, frame, sec)) {
        pusher.feed(frame, sec);
        puller.feed(frame, sec);
    }
    check_out(pusher);
    check_out(puller);
    FUZZ_CHECK(pusher.out.size() == puller.out.size());
    for (size_t i = 0; i < pusher.out.size(); i++) {
        FUZZ_CHECK(pusher.out[i].bytes == puller.out[i].bytes);
        FUZZ_CHECK(pusher.out[i].chain == puller.out[i].chain);
    }
    FUZZ_CHECK(pusher.ts.messages == puller.ts.messages);
    FUZZ_CHECK(pusher.ts.gaps == puller.ts.gaps);
    FUZZ_CHECK(pusher.frag.datagrams == puller.frag.datagrams);
    return 0;
}
