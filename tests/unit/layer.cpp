#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "filter/layer.h"
#include "support/decoder.h"
#include "support/frames.h"

namespace {

using namespace frames;

constexpr int P = CORE_OBJECT_PCAP, E = CORE_OBJECT_ETHER, N = CORE_OBJECT_NULL, L = CORE_OBJECT_LOOP,
              S = CORE_OBJECT_LINUXSLL, V = CORE_OBJECT_IEEE802, G = CORE_OBJECT_GRE, I4 = CORE_OBJECT_IP,
              I6 = CORE_OBJECT_IP6, IC = CORE_OBJECT_ICMP, IC6 = CORE_OBJECT_ICMP6, U = CORE_OBJECT_UDP,
              T = CORE_OBJECT_TCP, PL = CORE_OBJECT_PAYLOAD;
const std::vector<int> dropped = {};

const Bytes query = text("0123456789abcdefg");  // 17 bytes
const Bytes addr_a = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xa};
const Bytes addr_b = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xb};

using Check = std::function<void(const filter_layer_t&, const core_object_t*)>;

struct Case {
    std::string name;
    uint32_t linktype;
    Bytes frame;
    std::vector<int> chain;  // top to bottom; empty: the frame is dropped
    Check check = nullptr;
    bool swapped = false;
};

// Decodes the case in push and in pull use with two decoders and checks that
// both give the same result and leave the same records.
void run_case(const Case& c)
{
    SCOPED_TRACE(c.name);
    Decoder pusher, puller;
    pusher.load(c.linktype, c.frame, c.swapped);
    puller.load(c.linktype, c.frame, c.swapped);
    const core_object_t* pushed = pusher.push();
    const core_object_t* pulled = puller.pull();
    EXPECT_EQ(chain_types(pushed), c.chain);
    EXPECT_EQ(chain_types(pulled), c.chain);
    if (c.chain.empty()) {
        EXPECT_EQ(pusher.calls(), 0u) << "a dropped frame must not reach the receiver";
        EXPECT_EQ(pulled, nullptr);
    } else {
        EXPECT_EQ(pusher.calls(), 1u);
        // The bottom of every chain is the PCAP record handed in.
        const core_object_t* bottom = pushed;
        while (bottom && bottom->obj_prev) {
            bottom = bottom->obj_prev;
        }
        EXPECT_EQ(bottom, reinterpret_cast<const core_object_t*>(&pusher.pcap));
        EXPECT_EQ(pusher.layer.produced, pushed);
    }
    // Same records apart from the chain pointers, which point into each decoder.
    auto offset = [](const Decoder& d, const core_object_t* obj) -> ptrdiff_t {
        return obj ? reinterpret_cast<const uint8_t*>(obj) - reinterpret_cast<const uint8_t*>(&d.layer) : -1;
    };
    if (pushed != reinterpret_cast<const core_object_t*>(&pusher.pcap)) {
        EXPECT_EQ(offset(pusher, pushed), offset(puller, pulled));
    }
    if (c.check) {
        c.check(pusher.layer, pushed);
        c.check(puller.layer, pulled);
    }
}

template <class Record>
const core_object_t* obj(const Record& record)
{
    return reinterpret_cast<const core_object_t*>(&record);
}

const Bytes udp_query = udp(query);
const Bytes v4_udp = ipv4(udp_query);
const Bytes v6_udp = ipv6(udp_query);

std::vector<Case> link_cases()
{
    return {
        {"unknown link type", 105, ether(v4_udp), {P}},
        {"ethernet of 13 bytes", 1, cut(ether({}), 13), {P}},
        {"ethernet type ipv4, nothing after", 1, ether({}), {E, P}},
        {"ethernet arp", 1, ether(zeros(28), 0x0806), {P}},
        {"ethernet 802.3 length", 1, ether(zeros(46), 46), {P}},
        {"ethernet ipv4 udp", 1, ether(v4_udp), {PL, U, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ether.type, 0x0800);
             EXPECT_EQ(0, memcmp(l.ether.dhost, mac_dst.data(), 6));
             EXPECT_EQ(0, memcmp(l.ether.shost, mac_src.data(), 6));
         }},
        {"ethernet type ipv4 carrying ipv6", 1, ether(v6_udp, 0x0800), {PL, U, I6, E, P}},
        {"ethernet type ipv6 carrying ipv4", 1, ether(v4_udp, 0x86dd), {PL, U, I4, E, P}},
        {"ethernet ip version 5", 1, ether(ipv4(udp_query, {.version = 5})), {E, P}},
        {"one 8100 tag, vlan 100", 1, ether(tag(100, 0x0800, v4_udp), 0x8100), {PL, U, I4, V, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.n_ieee802, 0u);
             EXPECT_EQ(l.ieee802[0].tpid, 0x8100);
             EXPECT_EQ(l.ieee802[0].vid, 100);
             EXPECT_EQ(l.ieee802[0].ether_type, 0x0800);
             EXPECT_EQ(l.ieee802[0].obj_prev, obj(l.ether));
             EXPECT_EQ(l.ip.obj_prev, obj(l.ieee802[0]));
         }},
        {"tag vlan 4095 pcp 5 dei 1", 1, ether(tag(0xbfff, 0x86dd, v6_udp), 0x9100), {PL, U, I6, V, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ieee802[0].vid, 255);
             EXPECT_EQ(l.ieee802[0].pcp, 5);
             EXPECT_EQ(l.ieee802[0].dei, 1);
             EXPECT_EQ(l.ieee802[0].tpid, 0x9100);
         }},
        {"88a8 then 9100 then ipv4", 1, ether(tag(10, 0x9100, tag(20, 0x0800, v4_udp)), 0x88a8),
         {PL, U, I4, V, V, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.n_ieee802, 1u);
             EXPECT_EQ(l.ieee802[0].tpid, 0x88a8);
             EXPECT_EQ(l.ieee802[0].vid, 10);
             EXPECT_EQ(l.ieee802[0].ether_type, 0x9100);
             EXPECT_EQ(l.ieee802[1].tpid, 0x9100);
             EXPECT_EQ(l.ieee802[1].vid, 20);
             EXPECT_EQ(l.ieee802[1].obj_prev, obj(l.ieee802[0]));
             EXPECT_EQ(l.ip.obj_prev, obj(l.ieee802[1]));
         }},
        {"three tags", 1, ether(tag(1, 0x88a8, tag(2, 0x9100, tag(3, 0x0800, v4_udp))), 0x8100),
         {PL, U, I4, V, V, V, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.n_ieee802, 2u);
             EXPECT_EQ(l.ieee802[2].vid, 3);
             EXPECT_EQ(l.ieee802[2].tpid, 0x9100);
             EXPECT_EQ(l.ip.obj_prev, obj(l.ieee802[2]));
         }},
        {"fourth tag drops", 1,
         ether(tag(1, 0x9100, tag(2, 0x9100, tag(3, 0x9100, tag(4, 0x0800, v4_udp)))), 0x88a8), dropped},
        {"88a8 followed by 8100", 1, ether(tag(1, 0x8100, tag(2, 0x0800, v4_udp)), 0x88a8), {E, P}},
        {"second tag followed by arp", 1, ether(tag(1, 0x88a8, tag(2, 0x0806, zeros(28))), 0x8100), {V, E, P}},
        {"tag control cut after one byte", 1, cut(ether(tag(1, 0x0800, v4_udp), 0x8100), 15), {E, P}},
        {"tag type cut", 1, cut(ether(tag(1, 0x0800, v4_udp), 0x8100), 17), {E, P}},
        {"second tag cut", 1, cut(ether(tag(1, 0x88a8, tag(2, 0x0800, v4_udp)), 0x8100), 20), {V, E, P}},
        {"tag then ipv4 with nothing", 1, ether(tag(1, 0x0800, {}), 0x8100), {V, E, P}},
        {"null family 2 little-endian host", 0, host32(2) + v4_udp, {PL, U, I4, N, P},
         [](const filter_layer_t& l, const core_object_t*) { EXPECT_EQ(l.null.family, 2u); }},
        {"null family 2 written big-endian", 0, host32(__builtin_bswap32(2)) + v4_udp, {PL, U, I4, N, P},
         [](const filter_layer_t& l, const core_object_t*) { EXPECT_EQ(l.null.family, 2u); }, true},
        {"null family 24 with ipv4", 0, host32(24) + v4_udp, {PL, U, I4, N, P}},
        {"null family 28 with ipv6", 0, host32(28) + v6_udp, {PL, U, I6, N, P}},
        {"null family 30 with ipv4", 0, host32(30) + v4_udp, {PL, U, I4, N, P}},
        {"null family 7", 0, host32(7) + v4_udp, {P}},
        {"null family swapped not undone", 0, host32(__builtin_bswap32(2)) + v4_udp, {P}},
        {"null of 3 bytes", 0, bytes({2, 0, 0}), {P}},
        {"null, nothing after", 0, host32(2), {N, P}},
        {"loop 00 00 00 02", 108, be32(2) + v4_udp, {PL, U, I4, L, P},
         [](const filter_layer_t& l, const core_object_t*) { EXPECT_EQ(l.loop.family, 2u); }},
        {"loop 02 00 00 00", 108, bytes({2, 0, 0, 0}) + v4_udp, {P}},
        {"loop 24 with ipv6", 108, be32(24) + v6_udp, {PL, U, I6, L, P}},
        {"raw 12 empty", 12, {}, {P}},
        {"raw 12 ipv4", 12, v4_udp, {PL, U, I4, P}},
        {"raw 12 ipv6", 12, v6_udp, {PL, U, I6, P}},
        {"raw 228 carrying ipv6", 228, v6_udp, {PL, U, I6, P}},
        {"raw 229 carrying ipv4", 229, v4_udp, {PL, U, I4, P}},
        {"raw 229 empty", 229, {}, {P}},
        {"raw version 0", 12, zeros(40), {P}},
        {"linux cooked ipv4", 113, sll(v4_udp), {PL, U, I4, S, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.linuxsll.packet_type, 0);
             EXPECT_EQ(l.linuxsll.arp_hardware, 1);
             EXPECT_EQ(l.linuxsll.link_layer_address_length, 6);
             const uint8_t address[8] = {2, 0, 0, 0, 0, 1, 0, 0};
             EXPECT_EQ(0, memcmp(l.linuxsll.link_layer_address, address, 8));
             EXPECT_EQ(l.linuxsll.ether_type, 0x0800);
         }},
        {"linux cooked ipv6", 113, sll(v6_udp, 0x86dd), {PL, U, I6, S, P}},
        {"linux cooked arp", 113, sll(zeros(28), 0x0806), {P}},
        {"linux cooked vlan", 113, sll(tag(7, 0x0800, v4_udp), 0x8100), {PL, U, I4, V, S, P}},
        {"linux cooked of 15 bytes", 113, cut(sll(v4_udp), 15), {P}},
        {"linux cooked, nothing after", 113, sll({}), {S, P}},
    };
}

std::vector<Case> network_cases()
{
    return {
        {"ipv4 hl 4", 1, ether(ipv4(udp_query, {.hl = 4})), {E, P}},
        {"ipv4 hl 6 skips four option bytes", 1, ether(ipv4(udp(query, 4242), {.hl = 6})), {PL, U, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ip.hl, 6);
             EXPECT_EQ(l.udp.sport, 4242);
             EXPECT_EQ(l.payload.len, 17u);
         }},
        {"ipv4 options not captured", 1, cut(ether(ipv4({}, {.hl = 15})), 14 + 40), {E, P}},
        {"ipv4 len below header", 1, ether(ipv4(udp_query, {.len = 19})), {E, P}},
        {"ipv4 len 1500 in 96 captured bytes", 1, pad(ether(ipv4(udp_query, {.len = 1500})), 96), {E, P}},
        {"ipv4 fields", 1, ether(ipv4(udp_query, {.off = 0x4000})), {PL, U, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ip.v, 4);
             EXPECT_EQ(l.ip.hl, 5);
             EXPECT_EQ(l.ip.len, 45);
             EXPECT_EQ(l.ip.id, 0x1234);
             EXPECT_EQ(l.ip.off, 0x4000);
             EXPECT_EQ(l.ip.ttl, 64);
             EXPECT_EQ(l.ip.p, 17);
             const uint8_t src[4] = {10, 0, 0, 1}, dst[4] = {10, 0, 0, 2};
             EXPECT_EQ(0, memcmp(l.ip.src, src, 4));
             EXPECT_EQ(0, memcmp(l.ip.dst, dst, 4));
         }},
        {"ipv4 more fragments", 1, ether(ipv4(udp_query, {.off = 0x2000})), {PL, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.payload.len, 25u);
             EXPECT_EQ(l.payload.padding, 0u);
             EXPECT_EQ(l.payload.obj_prev, obj(l.ip));
         }},
        {"ipv4 fragment offset 1", 1, pad(ether(ipv4(udp_query, {.off = 0x0001})), 80), {PL, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.payload.len, 25u);
             EXPECT_EQ(l.payload.padding, 80u - 14 - 45);
         }},
        {"udp query of 17 bytes in a 60-byte frame", 1, pad(ether(v4_udp), 60), {PL, U, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.udp.ulen, 25);
             EXPECT_EQ(l.udp.sport, 1053);
             EXPECT_EQ(l.udp.dport, 53);
             EXPECT_EQ(l.udp.sum, 0xbeef);
             EXPECT_EQ(l.payload.len, 17u);
             EXPECT_EQ(l.payload.padding, 1u);
             EXPECT_EQ(0, memcmp(l.payload.payload, query.data(), 17));
         }},
        {"udp ulen 8", 1, ether(ipv4(udp(query, 1, 2, 8))), {PL, U, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.payload.len, 0u);
             EXPECT_EQ(l.payload.padding, 17u);
         }},
        {"udp ulen 3", 1, ether(ipv4(udp(query, 1, 2, 3))), {PL, U, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.payload.len, 0u);
             EXPECT_EQ(l.payload.padding, 17u);
         }},
        {"udp ulen past the ip datagram stays inside it", 1, pad(ether(ipv4(udp(query, 1, 2, 200))), 80),
         {PL, U, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.payload.len, 17u);
             EXPECT_EQ(l.payload.padding, 80u - 14 - 45);
         }},
        {"udp header of 7 bytes", 1, ether(ipv4(cut(udp_query, 7))), {I4, E, P}},
        {"udp header behind the ip datagram is not read", 1, ether(ipv4({}, {}) + udp_query), {I4, E, P}},
        {"tcp off 5 no data in minimum frame", 1, pad(ether(ipv4(tcp({}), {.proto = 6})), 60), {PL, T, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.tcp.off, 5);
             EXPECT_EQ(l.tcp.opts_len, 0u);
             EXPECT_EQ(l.payload.len, 0u);
             EXPECT_EQ(l.payload.padding, 6u);
         }},
        {"tcp fields and options", 1,
         ether(ipv4(tcp(text("hello"), bytes({2, 4, 5, 0xb4, 1, 3, 3, 7})), {.proto = 6})), {PL, T, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.tcp.sport, 40000);
             EXPECT_EQ(l.tcp.dport, 53);
             EXPECT_EQ(l.tcp.seq, 1000u);
             EXPECT_EQ(l.tcp.ack, 2000u);
             EXPECT_EQ(l.tcp.off, 7);
             EXPECT_EQ(l.tcp.x2, 3);
             EXPECT_EQ(l.tcp.flags, 0x18);
             EXPECT_EQ(l.tcp.win, 65535);
             EXPECT_EQ(l.tcp.sum, 0xabcd);
             EXPECT_EQ(l.tcp.urp, 7);
             EXPECT_EQ(l.tcp.opts_len, 8u);
             const uint8_t options[8] = {2, 4, 5, 0xb4, 1, 3, 3, 7};
             EXPECT_EQ(0, memcmp(l.tcp.opts, options, 8));
             EXPECT_EQ(l.payload.len, 5u);
             EXPECT_EQ(0, memcmp(l.payload.payload, "hello", 5));
         }},
        {"tcp off 15", 1, ether(ipv4(tcp(text("x"), zeros(40, 1)), {.proto = 6})), {PL, T, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.tcp.off, 15);
             EXPECT_EQ(l.tcp.opts_len, 40u);
             EXPECT_EQ(l.payload.len, 1u);
         }},
        {"tcp off 2", 1, ether(ipv4(tcp(text("abc"), {}, 2), {.proto = 6})), {PL, T, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.tcp.off, 2);
             EXPECT_EQ(l.tcp.opts_len, 0u);
             EXPECT_EQ(l.payload.len, 3u);
             EXPECT_EQ(0, memcmp(l.payload.payload, "abc", 3));
         }},
        {"tcp off 10 with 10 option bytes", 1, ether(ipv4(tcp({}, zeros(10), 10), {.proto = 6})), {I4, E, P}},
        {"icmp", 1, ether(ipv4(icmp(3, 1), {.proto = 1})), {IC, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.icmp.type, 3);
             EXPECT_EQ(l.icmp.code, 1);
             EXPECT_EQ(l.icmp.cksum, 0xf7ff);
         }},
        {"icmp of 3 bytes", 1, ether(ipv4(cut(icmp(), 3), {.proto = 1})), {I4, E, P}},
        {"gre", 1, ether(ipv4(gre(0x2000, 0x0800) + v4_udp, {.proto = 47})), {G, I4, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.gre.gre_flags, 0x2000);
             EXPECT_EQ(l.gre.ether_type, 0x0800);
             EXPECT_EQ(l.gre.checksum, 0);
             EXPECT_EQ(l.gre.key, 0u);
         }},
        {"ipv4 protocol 132", 1, ether(ipv4(zeros(12), {.proto = 132})), {I4, E, P}},
        {"ipv6 fields", 1, ether(v6_udp, 0x86dd), {PL, U, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ip6.flow, 0x60012345u);
             EXPECT_EQ(l.ip6.plen, 25);
             EXPECT_EQ(l.ip6.nxt, 17);
             EXPECT_EQ(l.ip6.hlim, 64);
             EXPECT_EQ(0, memcmp(l.ip6.src, v6_src.data(), 16));
             EXPECT_EQ(0, memcmp(l.ip6.dst, v6_dst.data(), 16));
             EXPECT_EQ(l.ip6.is_frag, 0);
             EXPECT_EQ(l.ip6.have_rtdst, 0);
         }},
        {"ipv6 plen past the captured bytes", 1, ether(ipv6(udp_query, {.plen = 26}), 0x86dd), {E, P}},
        {"ipv6 udp with link padding", 1, pad(ether(ipv6(udp(text("ab"))), 0x86dd), 70), {PL, U, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.payload.len, 2u);
             EXPECT_EQ(l.payload.padding, 70u - 14 - 40 - 10);
         }},
        {"ipv6 icmpv6", 1, ether(ipv6(icmp(128, 0), {.nxt = 58}), 0x86dd), {IC6, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.icmp6.type, 128);
             EXPECT_EQ(l.icmp6.cksum, 0xf7ff);
         }},
        {"ipv6 hop-by-hop L 0 then udp", 1, ether(ipv6(ext(17, 0, udp(query, 7)), {.nxt = 0}), 0x86dd),
         {PL, U, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.udp.sport, 7);
             EXPECT_EQ(l.payload.len, 17u);
             EXPECT_EQ(0, memcmp(l.payload.payload, query.data(), 17));
         }},
        // The rest of a long options header is skipped before UDP is looked for.
        {"ipv6 destination options of 16 bytes then udp", 1,
         ether(ipv6(ext(17, 1, udp(query, 9), 0xee), {.nxt = 60}), 0x86dd), {PL, U, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.udp.sport, 9);
             EXPECT_EQ(l.udp.ulen, 25);
             EXPECT_EQ(l.payload.len, 17u);
         }},
        {"ipv6 two options headers then tcp", 1,
         ether(ipv6(ext(60, 2, ext(6, 1, tcp(text("q")))), {.nxt = 0}), 0x86dd), {PL, T, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) { EXPECT_EQ(l.payload.len, 1u); }},
        {"ipv6 options rest not captured", 1, ether(ipv6(cut(ext(17, 3, {}), 12), {.nxt = 0}), 0x86dd), {I6, E, P}},
        {"ipv6 fragment then udp", 1, ether(ipv6(frag(17, 0x0001, 0xabcd1234, udp_query), {.nxt = 44}), 0x86dd),
         {PL, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ip6.is_frag, 1);
             EXPECT_EQ(l.ip6.frag_offlg, 0x0001);
             EXPECT_EQ(l.ip6.frag_ident, 0x1234);
             EXPECT_EQ(l.payload.obj_prev, obj(l.ip6));
             EXPECT_EQ(l.payload.len, 25u);
         }},
        // Behind a later fragment's header lie data bytes, not headers, whatever
        // the header announces: they are not walked (here they would read as a
        // second Fragment header and drop the frame).
        {"ipv6 later fragment is not walked", 1,
         ether(ipv6(frag(60, 0x0008, 1, frag(44, 1, 1, udp_query)), {.nxt = 44}), 0x86dd), {PL, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ip6.is_frag, 1);
             EXPECT_EQ(l.payload.len, 8u + 25u);
         }},
        {"ipv6 two fragment headers drop", 1,
         ether(ipv6(frag(44, 1, 1, frag(17, 1, 1, udp_query)), {.nxt = 44}), 0x86dd), dropped},
        {"ipv6 fragment reserved byte 1 drops", 1, ether(ipv6(frag(17, 1, 1, udp_query, 1), {.nxt = 44}), 0x86dd),
         dropped},
        {"ipv6 routing type 0, segments 2, L 4", 1,
         ether(ipv6(routing(17, 0, 2, addr_a + addr_b, udp(query, 11)), {.nxt = 43}), 0x86dd), {PL, U, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ip6.have_rtdst, 1);
             EXPECT_EQ(0, memcmp(l.ip6.rtdst, addr_b.data(), 16));
             EXPECT_EQ(l.udp.sport, 11);
         }},
        {"ipv6 routing type 0 L 3 drops", 1,
         ether(ipv6(routing(17, 0, 1, zeros(24), udp_query), {.nxt = 43}), 0x86dd), dropped},
        {"ipv6 second routing header after rtdst drops", 1,
         ether(ipv6(routing(43, 0, 1, addr_a + addr_b, routing(17, 2, 0, zeros(8), udp_query)), {.nxt = 43}),
               0x86dd),
         dropped},
        {"ipv6 routing type 0 L 0 records nothing", 1,
         ether(ipv6(routing(43, 0, 1, {}, routing(17, 0, 1, addr_a + addr_b, udp_query)), {.nxt = 43}), 0x86dd),
         {PL, U, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ip6.have_rtdst, 1);
             EXPECT_EQ(0, memcmp(l.ip6.rtdst, addr_b.data(), 16));
         }},
        {"ipv6 routing type 0 no segments left is skipped", 1,
         ether(ipv6(routing(17, 0, 0, addr_a + addr_b, udp(query, 12)), {.nxt = 43}), 0x86dd), {PL, U, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.ip6.have_rtdst, 0);
             EXPECT_EQ(l.udp.sport, 12);
         }},
        {"ipv6 routing type 2 is skipped", 1,
         ether(ipv6(routing(17, 2, 1, addr_a, udp(query, 13)), {.nxt = 43}), 0x86dd), {PL, U, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) { EXPECT_EQ(l.udp.sport, 13); }},
        {"ipv6 routing address list not captured", 1,
         ether(ipv6(cut(routing(17, 0, 2, addr_a + addr_b, {}), 30), {.nxt = 43}), 0x86dd), {I6, E, P}},
        {"ipv6 no next header", 1, pad(ether(ipv6(text("abcd"), {.nxt = 59}), 0x86dd), 64), {PL, I6, E, P},
         [](const filter_layer_t& l, const core_object_t*) {
             EXPECT_EQ(l.payload.len, 4u);
             EXPECT_EQ(l.payload.padding, 64u - 14 - 44);
         }},
        {"ipv6 gre of 4 bytes", 1, ether(ipv6(gre(), {.nxt = 47}), 0x86dd), {G, I6, E, P}},
        {"ipv6 esp walked as an options header", 1, ether(ipv6(ext(59, 0, text("zz")), {.nxt = 50}), 0x86dd),
         {PL, I6, E, P}, [](const filter_layer_t& l, const core_object_t*) { EXPECT_EQ(l.payload.len, 2u); }},
        {"ipv6 options header behind plen is not read", 1, ether(ipv6({}, {.nxt = 0}) + ext(17, 0, udp_query), 0x86dd),
         {I6, E, P}},
    };
}

TEST(LayerDecoder, LinkLayers)
{
    for (const auto& c : link_cases()) {
        run_case(c);
    }
}

TEST(LayerDecoder, NetworkAndTransport)
{
    for (const auto& c : network_cases()) {
        run_case(c);
    }
}

// The result at every cut point of a frame: `steps` gives, for increasing
// captured lengths, the top record from that length on.
struct Sweep {
    std::string name;
    uint32_t linktype;
    Bytes frame;
    std::vector<std::pair<size_t, int>> steps;
};

TEST(LayerDecoder, EveryCutOfTheFrame)
{
    const Bytes tcp_frame = ipv4(tcp(text("data"), zeros(12, 1)), {.proto = 6});
    const std::vector<Sweep> sweeps = {
        {"ether ipv4 udp", 1, ether(v4_udp), {{0, P}, {14, E}, {14 + 45, PL}}},
        {"ether vlan ipv6 udp", 1, ether(tag(5, 0x86dd, v6_udp), 0x8100), {{0, P}, {14, E}, {18, V}, {18 + 65, PL}}},
        {"ether two tags", 1, ether(tag(5, 0x9100, tag(6, 0x0800, v4_udp)), 0x88a8),
         {{0, P}, {14, E}, {18, V}, {22, V}, {22 + 45, PL}}},
        {"null ipv4 tcp", 0, host32(2) + tcp_frame, {{0, P}, {4, N}, {4 + tcp_frame.size(), PL}}},
        {"loop ipv6 fragment", 108, be32(30) + ipv6(frag(17, 0, 1, udp_query), {.nxt = 44}),
         {{0, P}, {4, L}, {4 + 40 + 8 + 25, PL}}},
        {"cooked ipv4 icmp", 113, sll(ipv4(icmp(), {.proto = 1})), {{0, P}, {16, S}, {16 + 28, IC}}},
        {"raw ipv6 hop-by-hop udp", 12, ipv6(ext(17, 1, udp_query), {.nxt = 0}), {{0, P}, {40 + 16 + 25, PL}}},
    };
    for (const auto& sweep : sweeps) {
        for (size_t length = 0; length <= sweep.frame.size(); length++) {
            int expected = P;
            for (const auto& [from, top] : sweep.steps) {
                if (length >= from) {
                    expected = top;
                }
            }
            Decoder decoder;
            decoder.load(sweep.linktype, cut(sweep.frame, length));
            const core_object_t* pushed = decoder.push();
            const core_object_t* pulled = decoder.pull();
            ASSERT_NE(pushed, nullptr) << sweep.name << " cut at " << length;
            EXPECT_EQ(pushed->obj_type, expected) << sweep.name << " cut at " << length;
            EXPECT_EQ(pulled, pushed) << sweep.name << " cut at " << length;
        }
    }
}

// Datagrams that declare only the first k bytes of their transport or
// extension headers: below `needed` the result is the IP record.
struct HeaderSweep {
    std::string name;
    Bytes inner;  // what follows the IP header
    bool v6;
    uint8_t protocol;
    size_t needed;
    int top;
};

TEST(LayerDecoder, EveryCutOfTheDeclaredDatagram)
{
    const std::vector<HeaderSweep> sweeps = {
        {"udp", udp_query, false, 17, 8, PL},
        {"tcp with options", tcp(text("x"), zeros(20, 1)), false, 6, 40, PL},
        {"tcp off 2", tcp(text("x"), {}, 2), false, 6, 20, PL},
        {"icmp", icmp(), false, 1, 4, IC},
        {"gre", gre(), false, 47, 4, G},
        {"udp over ipv6", udp_query, true, 17, 8, PL},
        {"icmpv6", icmp(), true, 58, 4, IC6},
        {"gre over ipv6", gre(), true, 47, 4, G},
        {"hop-by-hop then udp", ext(17, 1, udp_query), true, 0, 16 + 8, PL},
        {"routing type 0 then udp", routing(17, 0, 1, addr_a + addr_b, udp_query), true, 43, 40 + 8, PL},
        {"routing type 2 then udp", routing(17, 2, 1, zeros(16), udp_query), true, 43, 24 + 8, PL},
        // A fragment needs only its own 8 bytes: what follows is fragment data.
        {"fragment", frag(17, 0, 1, udp_query), true, 44, 8, PL},
    };
    for (const auto& sweep : sweeps) {
        for (size_t k = 0; k <= sweep.inner.size(); k++) {
            const Bytes inner = cut(sweep.inner, k);
            // The frame goes on behind the datagram, so nothing stops for lack of bytes.
            const Bytes frame = sweep.v6 ? ipv6(inner, {.nxt = sweep.protocol}) + zeros(64, 0xff)
                                         : ipv4(inner, {.proto = sweep.protocol}) + zeros(64, 0xff);
            Decoder decoder;
            decoder.load(12, frame);
            const core_object_t* result = decoder.push();
            ASSERT_NE(result, nullptr) << sweep.name << " k " << k;
            const int expected = k < sweep.needed ? (sweep.v6 ? I6 : I4) : sweep.top;
            EXPECT_EQ(result->obj_type, expected) << sweep.name << " k " << k;
            if (result->obj_type == PL) {
                // Every byte behind the declared datagram is padding.
                EXPECT_EQ(decoder.layer.payload.padding, 64u) << sweep.name << " k " << k;
            }
        }
    }
}

TEST(LayerDecoder, InitialRecord)
{
    filter_layer_t layer;
    memset(&layer, 0xa5, sizeof(layer));
    filter_layer_init(&layer);
    EXPECT_STREQ(layer._log.name, "filter.layer");
    EXPECT_EQ(layer._log.is_obj, 1);
    EXPECT_EQ(layer._log.module, &filter_layer_log()->settings);
    EXPECT_STREQ(filter_layer_log()->name, "filter.layer");
    EXPECT_EQ(layer.recv, nullptr);
    EXPECT_EQ(layer.ctx, nullptr);
    EXPECT_EQ(layer.prod, nullptr);
    EXPECT_EQ(layer.prod_ctx, nullptr);
    EXPECT_EQ(layer.produced, nullptr);
    EXPECT_EQ(layer.n_ieee802, 0u);
    const std::pair<const core_object_t*, int> records[] = {
        {obj(layer.null), 11}, {obj(layer.ether), 10}, {obj(layer.loop), 12}, {obj(layer.linuxsll), 13},
        {obj(layer.ieee802[0]), 14}, {obj(layer.ieee802[1]), 14}, {obj(layer.ieee802[2]), 14},
        {obj(layer.ip), 20}, {obj(layer.ip6), 21}, {obj(layer.gre), 15}, {obj(layer.icmp), 22},
        {obj(layer.icmp6), 23}, {obj(layer.udp), 30}, {obj(layer.tcp), 31}, {obj(layer.payload), 40},
    };
    for (const auto& [record, type] : records) {
        EXPECT_EQ(record->obj_type, type);
        EXPECT_EQ(record->obj_prev, nullptr);
    }
    EXPECT_EQ(layer.tcp.opts_len, 0u);
    EXPECT_EQ(layer.payload.payload, nullptr);
    filter_layer_destroy(&layer);
}

TEST(LayerDecoder, LayersNotInTheFrameKeepEarlierContents)
{
    Decoder decoder;
    decoder.load(1, ether(ipv4(tcp(text("t")), {.proto = 6})));
    ASSERT_EQ(decoder.push()->obj_type, PL);
    decoder.load(1, ether(v4_udp));
    ASSERT_EQ(decoder.push()->obj_type, PL);
    EXPECT_EQ(decoder.layer.tcp.sport, 40000) << "the TCP record is not part of this chain and is left alone";
    EXPECT_EQ(decoder.layer.tcp.obj_type, T);
    EXPECT_EQ(decoder.layer.payload.obj_prev, obj(decoder.layer.udp));
}

TEST(LayerDecoder, TagSlotIndexStartsAgainForEveryFrame)
{
    Decoder decoder;
    decoder.load(1, ether(tag(1, 0x9100, tag(2, 0x9100, tag(3, 0x0800, v4_udp))), 0x88a8));
    ASSERT_NE(decoder.push(), nullptr);
    EXPECT_EQ(decoder.layer.n_ieee802, 2u);
    decoder.load(1, ether(v4_udp));
    ASSERT_NE(decoder.push(), nullptr);
    EXPECT_EQ(decoder.layer.n_ieee802, 0u);
    // A dropped fourth tag leaves the index on a slot that exists.
    decoder.load(1, ether(tag(1, 0x9100, tag(2, 0x9100, tag(3, 0x9100, tag(4, 0x0800, v4_udp)))), 0x88a8));
    EXPECT_EQ(decoder.push(), nullptr);
    EXPECT_EQ(decoder.layer.n_ieee802, 2u);
}

TEST(LayerDecoder, ProducedIsClearedByADroppedFrame)
{
    Decoder decoder;
    decoder.load(1, ether(v4_udp));
    ASSERT_NE(decoder.push(), nullptr);
    decoder.load(1, ether(ipv6(frag(44, 1, 1, frag(17, 1, 1, udp_query)), {.nxt = 44}), 0x86dd));
    EXPECT_EQ(decoder.push(), nullptr);
    EXPECT_EQ(decoder.layer.produced, nullptr);
}

TEST(LayerDecoder, NoByteBehindCaplenIsRead)
{
    // The bytes behind caplen belong to the buffer but not to the frame: a
    // decoder that read them would see a complete datagram.
    const Bytes full = ether(v4_udp);
    Decoder decoder;
    decoder.load(1, full);
    decoder.pcap.caplen = static_cast<uint32_t>(full.size() - 1);
    EXPECT_EQ(decoder.push()->obj_type, E);
    decoder.pcap.bytes = nullptr;
    decoder.pcap.caplen = 100;
    EXPECT_EQ(decoder.push()->obj_type, P) << "a record without bytes has nothing captured";
}

TEST(LayerDecoder, PullEndsOnNullAndOnOtherObjects)
{
    Decoder decoder;
    EXPECT_EQ(filter_layer_producer(&decoder.layer)(&decoder.layer), nullptr);
    core_object_t dns{nullptr, 50};
    decoder.pending = &dns;
    EXPECT_EQ(filter_layer_producer(&decoder.layer)(&decoder.layer), nullptr);
    EXPECT_EQ(decoder.pending, nullptr) << "the upstream producer was asked";
}

// Fatal misuse, one process each; messages on the instance or the module log.
TEST(LayerDecoderDeathTest, FatalChecks)
{
    const core_object_t dns{nullptr, 50};
    const std::string object_log = "filter\\.layer\\[0x[0-9a-f]+\\] fatal: ";
    EXPECT_EXIT(filter_layer_init(nullptr), testing::ExitedWithCode(1), "^filter\\.layer fatal: self is nil\n$");
    EXPECT_EXIT(filter_layer_destroy(nullptr), testing::ExitedWithCode(1), "^filter\\.layer fatal: self is nil\n$");
    EXPECT_EXIT(filter_layer_producer(nullptr), testing::ExitedWithCode(1), "^filter\\.layer fatal: self is nil\n$");
    EXPECT_EXIT(filter_layer_receiver()(nullptr, &dns), testing::ExitedWithCode(1),
                "^filter\\.layer fatal: self is nil\n$");
    {
        Decoder decoder;
        EXPECT_EXIT(filter_layer_producer(&decoder.layer)(nullptr), testing::ExitedWithCode(1),
                    "^filter\\.layer fatal: self is nil\n$");
    }
    {
        Decoder decoder;
        decoder.layer.recv = nullptr;
        // The null object is reported before the missing receiver.
        EXPECT_EXIT(filter_layer_receiver()(&decoder.layer, nullptr), testing::ExitedWithCode(1),
                    "^" + object_log + "obj is nil\n$");
        // The missing receiver before the wrong type.
        EXPECT_EXIT(filter_layer_receiver()(&decoder.layer, &dns), testing::ExitedWithCode(1),
                    "^" + object_log + "no receiver set\n$");
    }
    {
        Decoder decoder;
        EXPECT_EXIT(filter_layer_receiver()(&decoder.layer, &dns), testing::ExitedWithCode(1),
                    "^" + object_log + "obj is not CORE_OBJECT_PCAP\n$");
        decoder.layer.prod = nullptr;
        EXPECT_EXIT(filter_layer_producer(&decoder.layer), testing::ExitedWithCode(1),
                    "^" + object_log + "no producer set\n$");
    }
}

}  // namespace
