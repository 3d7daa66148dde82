#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/reassembly.h"

using namespace reasm;

namespace {

const Bytes message = query(7, 1400);
const Bytes datagram = frames::udp(message, 1053, 53);  // 1437 bytes

struct Piece {
    uint32_t from, to;
    bool more;
    int64_t sec = 0;
    uint32_t ident = 0x4242;
    const Bytes* bytes = &datagram;
    uint8_t proto = 17;
};

Bytes fragment4(const Piece& p)
{
    const uint16_t off = uint16_t((p.more ? 0x2000 : 0) | (p.from / 8));
    return frames::ether(ip4(client4, server4, p.proto, slice(*p.bytes, p.from, p.to), uint16_t(p.ident), off));
}

Bytes fragment6(const Piece& p, const Bytes& before = {})
{
    const uint16_t offlg = uint16_t(p.from | (p.more ? 1 : 0));
    const uint8_t first = before.empty() ? 44 : 0;
    return frames::ether(
        ip6(client6, server6, first, before + frames::frag(p.proto, offlg, p.ident, slice(*p.bytes, p.from, p.to))),
        0x86dd);
}

const Piece a{0, 512, true}, b{512, 1024, true}, c{1024, 1437, false};

struct Expect {
    int datagrams = 1;
    int duplicates = 0;
    int overlaps = 0;
    int overlap_bytes = 0;
    int tiny = 0;
    int inconsistent = 0;
    int timeouts = 0;
};

struct Case {
    std::string name;
    std::vector<Piece> pieces;
    Expect expect;
    bool v4 = true;
    bool v6 = true;
};

std::vector<Case> cases()
{
    return {
        {"in order", {a, b, c}, {}},
        {"reversed", {c, b, a}, {}},
        {"last, first, middle", {c, a, b}, {}},
        {"a duplicate fragment", {a, b, a, c}, {.duplicates = 1}},
        {"an atomic fragment", {{0, 1437, false}}, {}, false, true},
        {"overlapping fragments, IPv4 keeps the first bytes", {a, {256, 768, true}, {768, 1437, false}},
         {.overlap_bytes = 256}, true, false},
        {"overlapping fragments drop the IPv6 datagram", {a, {256, 768, true}, {768, 1437, false}},
         {.datagrams = 0, .overlaps = 1}, false, true},
        {"a non-last fragment not a multiple of 8", {{0, 500, true}, {500, 1437, false}},
         {.datagrams = 0, .inconsistent = 1}},
        {"two different ends", {a, c, {512, 1024, false}}, {.datagrams = 0, .inconsistent = 1}},
        {"data past the end", {c, {1024, 1440, true}, a, b}, {.datagrams = 0, .inconsistent = 1}},
        {"an empty fragment drops the datagram", {a, {512, 512, true}, b, c}, {.datagrams = 0, .inconsistent = 1}},
        {"an empty first fragment, then the whole datagram", {{0, 0, true}, {0, 1437, false}}, {.inconsistent = 1},
         false, true},
        {"timeout", {{0, 512, true, 100}, {512, 1024, true, 115}, {1024, 1437, false, 131}},
         {.datagrams = 0, .timeouts = 1}},
        {"within the timeout", {{0, 512, true, 100}, {512, 1024, true, 115}, {1024, 1437, false, 129}}, {}},
    };
}

class Fragments : public ::testing::TestWithParam<bool> {};

void check_datagram(const Pipeline& p, bool v6)
{
    ASSERT_EQ(p.out.size(), 1u);
    const Out& o = p.out[0];
    EXPECT_EQ(o.bytes, message);
    EXPECT_EQ(o.chain, (std::vector<int>{CORE_OBJECT_PAYLOAD, CORE_OBJECT_UDP, v6 ? CORE_OBJECT_IP6 : CORE_OBJECT_IP,
                                         CORE_OBJECT_ETHER, CORE_OBJECT_PCAP}));
    EXPECT_EQ(o.sport, 1053);
    if (!v6) {
        EXPECT_EQ(o.ip_len, 20 + datagram.size());
        EXPECT_EQ(p.frag.decoder.ip.off, 0);
        const uint8_t* header = reinterpret_cast<const core_object_payload_t*>(o.obj)->payload - 28;
        EXPECT_EQ(checksum(Bytes(header, header + 20)), 0) << "a valid header checksum";
    } else {
        EXPECT_EQ(p.frag.decoder.ip6.plen, datagram.size());
        EXPECT_EQ(p.frag.decoder.ip6.is_frag, 0);
    }
}

TEST_P(Fragments, Cases)
{
    for (const Case& c : cases()) {
        for (bool v6 : {false, true}) {
            if ((v6 && !c.v6) || (!v6 && !c.v4)) {
                continue;
            }
            SCOPED_TRACE(c.name + (v6 ? " (IPv6)" : " (IPv4)"));
            Pipeline p(GetParam());
            p.frag.timeout = {30, 0};
            for (const Piece& piece : c.pieces) {
                p.feed(v6 ? fragment6(piece) : fragment4(piece), piece.sec);
            }
            EXPECT_EQ(int(p.frag.datagrams), c.expect.datagrams);
            EXPECT_EQ(int(p.frag.duplicates), c.expect.duplicates);
            EXPECT_EQ(int(p.frag.overlaps), c.expect.overlaps);
            EXPECT_EQ(int(p.frag.overlap_bytes), c.expect.overlap_bytes);
            EXPECT_EQ(int(p.frag.tiny), c.expect.tiny);
            EXPECT_EQ(int(p.frag.inconsistent), c.expect.inconsistent);
            EXPECT_EQ(int(p.frag.timeouts), c.expect.timeouts);
            EXPECT_EQ(p.frag.fragments, c.pieces.size());
            if (c.expect.datagrams == 1) {
                check_datagram(p, v6);
            } else {
                EXPECT_TRUE(p.out.empty());
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PushAndPull, Fragments, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "pull" : "push"; });

TEST(IpFrag, TinyFragments)
{
    // A TCP first fragment without room for the TCP header, and an IPv4 TCP
    // fragment at offset 8 that would rewrite the header's flags.
    const Bytes segment = tcp(40000, 53, 1, 1, ack | psh, framed(query(1, 100)));
    Pipeline p;
    p.feed(fragment4({0, 8, true, 0, 1, &segment, 6}));
    EXPECT_EQ(p.frag.tiny, 1u);
    p.feed(fragment4({0, 24, true, 0, 2, &segment, 6}));
    p.feed(fragment4({8, 16, true, 0, 2, &segment, 6}));
    EXPECT_EQ(p.frag.tiny, 2u);
    p.feed(fragment6({0, 16, true, 0, 3, &segment, 6}));
    EXPECT_EQ(p.frag.tiny, 3u);
    const Bytes small = frames::udp(Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    p.feed(fragment4({0, 0, true, 0, 4, &small}));
    EXPECT_EQ(p.frag.inconsistent, 1u) << "an empty fragment";
    EXPECT_TRUE(p.out.empty());
}

TEST(IpFrag, OthersPassUnchanged)
{
    Pipeline p;
    p.feed(frames::ether(ip4(client4, server4, 17, datagram)));
    ASSERT_EQ(p.out.size(), 1u);
    EXPECT_EQ(p.out[0].obj, reinterpret_cast<const core_object_t*>(&p.layer.payload));
    p.feed(frames::ether(ip4(client4, server4, 1, frames::icmp())));
    EXPECT_EQ(p.out.size(), 2u);
    EXPECT_EQ(p.frag.fragments, 0u);
}

TEST(IpFrag, DatagramLimitGivesWayToTheNewest)
{
    Pipeline p;
    filter_ipfrag_set_max_datagrams(&p.frag, 2);
    for (uint32_t ident : {1u, 2u, 3u}) {
        Piece first = a;
        first.ident = ident;
        p.feed(fragment4(first));
    }
    EXPECT_EQ(p.frag.dropped, 1u);
    for (uint32_t ident : {2u, 3u}) {
        for (Piece rest : {b, c}) {
            rest.ident = ident;
            p.feed(fragment4(rest));
        }
    }
    EXPECT_EQ(p.frag.datagrams, 2u);
    EXPECT_EQ(p.out.size(), 2u);
    for (Piece rest : {b, c}) {
        rest.ident = 1;
        p.feed(fragment4(rest));
    }
    EXPECT_EQ(p.frag.datagrams, 2u) << "its first fragment went with the slot";
}

TEST(IpFrag, ManyHolesAreBounded)
{
    Pipeline p;
    // Every other 8-byte piece: more holes than a datagram may have.
    for (uint32_t from = 0; from + 8 <= 1024; from += 16) {
        p.feed(fragment4({from, from + 8, true}));
    }
    EXPECT_GT(p.frag.inconsistent, 0u);
    EXPECT_TRUE(p.out.empty());
}

TEST(IpFrag, Ipv6UnfragmentablePartIsKept)
{
    Pipeline p;
    const Bytes hop_by_hop = frames::ext(44, 0, {});
    for (const Piece& piece : {c, a, b}) {
        p.feed(fragment6(piece, hop_by_hop));
    }
    ASSERT_EQ(p.out.size(), 1u);
    EXPECT_EQ(p.out[0].bytes, message);
    EXPECT_EQ(p.out[0].chain[1], CORE_OBJECT_UDP);
    EXPECT_EQ(p.frag.decoder.ip6.plen, 8 + datagram.size());
}

TEST(IpFrag, Ipv6IdentificationIsAll32Bits)
{
    // Two datagrams whose identifications differ only above the low 16 bits.
    Pipeline p;
    Piece first = a, second = a;
    first.ident = 0x00011111;
    second.ident = 0x00021111;
    p.feed(fragment6(first));
    p.feed(fragment6(second));
    EXPECT_EQ(p.frag.duplicates, 0u);
    for (Piece rest : {b, c}) {
        rest.ident = 0x00011111;
        p.feed(fragment6(rest));
    }
    EXPECT_EQ(p.frag.datagrams, 1u);
}

TEST(IpFrag, FragmentedTcpSegmentReachesTheStream)
{
    const Bytes stream = framed(query(1, 600)) + framed(query(2, 600));
    const Bytes segment = tcp(40000, 53, 1001, 5001, ack | psh, stream);
    for (bool pull : {false, true}) {
        Pipeline p(pull);
        const uint32_t half = 640;
        p.feed(fragment4({half, uint32_t(segment.size()), false, 0, 9, &segment, 6}));
        p.feed(fragment4({0, half, true, 0, 9, &segment, 6}));
        EXPECT_EQ(p.ids(), (std::vector<uint16_t>{1, 2}));
        EXPECT_EQ(p.frag.datagrams, 1u);
    }
}

}  // namespace
