// The packets the reassemblers hand out for a message: every segment or
// fragment that carried its bytes, in the order they came, each segment once
// (with the first message asked for), the SYN ahead of a direction's first
// message, retransmissions left out, and a store too small said so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/reassembly.h"

using namespace reasm;

namespace {

const Bytes q = framed(query(1));   // 31 bytes with its length field
const Bytes q2 = framed(query(2));

struct Case {
    std::string name;
    std::vector<Bytes> frames;
    std::vector<std::vector<size_t>> carriers;  // per message, indexes into frames
};

std::vector<Case> cases()
{
    const Conn c;
    const Bytes syn_frame = c.client(0, syn);
    return {
        {"a message over three segments", {syn_frame, c.client(1, ack | psh, slice(q, 0, 10)),
                                            c.client(11, ack | psh, slice(q, 10, 20)), c.client(21, ack | psh, slice(q, 20, 31))},
         {{0, 1, 2, 3}}},
        {"two messages in one segment", {syn_frame, c.client(1, ack | psh, q + q2)}, {{0, 1}, {}}},
        {"a segment that ends one message and starts the next",
         {syn_frame, c.client(1, ack | psh, slice(q, 0, 20)), c.client(21, ack | psh, slice(q, 20, 31) + slice(q2, 0, 5)),
          c.client(37, ack | psh, slice(q2, 5, 31))},
         {{0, 1, 2}, {3}}},
        {"segments out of order, in the order they came",
         {syn_frame, c.client(21, ack | psh, slice(q, 20, 31)), c.client(1, ack | psh, slice(q, 0, 20))}, {{0, 1, 2}}},
        {"a retransmission is left out",
         {syn_frame, c.client(1, ack | psh, slice(q, 0, 10)), c.client(1, ack | psh, slice(q, 0, 10)),
          c.client(11, ack | psh, slice(q, 10, 31))},
         {{0, 1, 3}}},
        {"a flow seen without its SYN",
         {c.client(1, ack | psh, slice(q, 0, 16)), c.client(17, ack | psh, slice(q, 16, 31))}, {{0, 1}}},
    };
}

class Carriers : public ::testing::TestWithParam<bool> {};

TEST_P(Carriers, Streams)
{
    for (const auto& test : cases()) {
        SCOPED_TRACE(test.name);
        Pipeline p(GetParam());
        p.keep_carriers();
        for (const auto& frame : test.frames) {
            p.feed(frame);
        }
        const auto messages = p.messages();
        ASSERT_EQ(messages.size(), test.carriers.size());
        for (size_t m = 0; m < messages.size(); m++) {
            EXPECT_EQ(messages[m].carriers_result, 0);
            ASSERT_EQ(messages[m].carriers.size(), test.carriers[m].size()) << "message " << m;
            for (size_t i = 0; i < test.carriers[m].size(); i++) {
                EXPECT_EQ(messages[m].carriers[i], test.frames[test.carriers[m][i]]) << "message " << m << " packet " << i;
            }
        }
        EXPECT_EQ(p.ts.carriers_lost, 0u);
    }
}

Bytes fragment(const Bytes& datagram, uint32_t from, uint32_t to, bool more, uint8_t proto = 17)
{
    const uint16_t off = uint16_t((more ? 0x2000 : 0) | (from / 8));
    return frames::ether(ip4(server4, client4, proto, slice(datagram, from, to), 0x4242, off));
}

TEST_P(Carriers, Fragments)
{
    // A UDP answer in three fragments, shuffled; a TCP segment in two.
    const Bytes answer = frames::udp(query(9, 1400), 53, 1053);
    const Bytes first = fragment(answer, 0, 512, true), middle = fragment(answer, 512, 1024, true),
                last = fragment(answer, 1024, uint32_t(answer.size()), false);
    Pipeline udp(GetParam());
    udp.keep_carriers();
    for (const auto* frame : {&middle, &last, &first}) {
        udp.feed(*frame);
    }
    ASSERT_EQ(udp.out.size(), 1u);
    EXPECT_EQ(udp.out[0].carriers_result, 0);
    EXPECT_EQ(udp.out[0].carriers, (std::vector<Bytes>{middle, last, first}));

    const Conn c;
    const Bytes syn_frame = c.server(0, syn | ack);
    const Bytes segment = tcp(c.server_port, c.client_port, c.server_isn + 1, c.client_isn + 1, ack | psh,
                              framed(query(3, 900)));
    const Bytes head = fragment(segment, 0, 480, true, 6), tail = fragment(segment, 480, uint32_t(segment.size()), false, 6);
    Pipeline tcp(GetParam());
    tcp.keep_carriers();
    for (const auto* frame : {&syn_frame, &tail, &head}) {
        tcp.feed(*frame);
    }
    const auto messages = tcp.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].carriers_result, 0);
    EXPECT_EQ(messages[0].carriers, (std::vector<Bytes>{syn_frame, tail, head}));
}

TEST_P(Carriers, StoreTooSmall)
{
    // Room for one segment of the three: the message still comes out, its
    // packets are said to be incomplete, and the next message is whole again.
    const Conn c;
    Pipeline p(GetParam());
    p.keep_carriers(100);
    p.feed(c.client(0, syn));
    p.feed(c.client(1, ack | psh, slice(q, 0, 10)));
    p.feed(c.client(11, ack | psh, slice(q, 10, 20)));
    p.feed(c.client(21, ack | psh, slice(q, 20, 31)));
    p.feed(c.client(32, ack | psh, q2));
    const auto messages = p.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].carriers_result, 1);
    EXPECT_EQ(messages[1].carriers_result, 0);
    EXPECT_EQ(messages[1].carriers.size(), 1u);
    EXPECT_EQ(p.ts.carriers_lost, 1u);
}

INSTANTIATE_TEST_SUITE_P(PushAndPull, Carriers, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "pull" : "push"; });

}  // namespace
