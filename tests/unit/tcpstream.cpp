#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/reassembly.h"

using namespace reasm;

namespace {

struct Step {
    bool from_client;
    uint32_t rel;  // relative sequence number
    uint8_t flags;
    Bytes data;
    uint32_t ack_rel = 1;
    int64_t sec = 0;
};

// -1: not checked.
struct Expect {
    int gaps = 0;
    int retransmitted = 0;
    int overlap = 0;
    int truncated = 0;
    int flows = -1;
    int resync = 0;  // 1: some bytes were dropped resynchronising
};

struct Case {
    std::string name;
    Conn conn;
    std::vector<Step> steps;
    std::vector<uint16_t> ids;
    Expect expect;
};

const Bytes q1 = framed(query(1));
const Bytes q2 = framed(query(2));
const Bytes q3 = framed(query(3));
const Bytes r1 = framed(query(0x8001));
const Bytes three = q1 + q2 + q3;  // 31 bytes each

std::vector<Step> handshake()
{
    return {{true, 0, syn, {}, 0}, {false, 0, syn | ack, {}, 1}, {true, 1, ack, {}, 1}};
}

std::vector<Step> with_handshake(std::vector<Step> rest)
{
    auto steps = handshake();
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

Step data(uint32_t from, uint32_t to, const Bytes& stream = three)
{
    return {true, 1 + from, ack | psh, slice(stream, from, to)};
}

Conn wrapping()
{
    Conn c;
    c.client_isn = 0xffffffe0u;
    return c;
}

Conn six()
{
    Conn c;
    c.v6 = true;
    c.client_addr = client6;
    c.server_addr = server6;
    return c;
}

std::vector<Step> byte_by_byte(const Bytes& stream)
{
    std::vector<Step> steps;
    for (size_t i = 0; i < stream.size(); i++) {
        steps.push_back(data(uint32_t(i), uint32_t(i + 1), stream));
    }
    return steps;
}

const Bytes big = framed(query(9, 300));

std::vector<Case> cases()
{
    return {
        {"in order, both directions, closed by FIN",
         Conn{},
         with_handshake({{true, 1, ack | psh, q1},
                         {false, 1, ack | psh, r1, 32},
                         {true, 32, ack | fin, {}, 32},
                         {false, 32, ack | fin, {}, 33}}),
         {1, 0x8001},
         {.flows = 0}},
        {"segments out of order", Conn{}, with_handshake({data(62, 93), data(0, 31), data(31, 62)}), {1, 2, 3}, {}},
        {"holes inside messages", Conn{}, with_handshake({data(10, 40), data(40, 93), data(0, 10)}), {1, 2, 3}, {}},
        {"retransmitted segment", Conn{}, with_handshake({data(0, 31), data(0, 31), data(31, 62)}), {1, 2},
         {.retransmitted = 31}},
        {"segment overlapping passed bytes", Conn{}, with_handshake({data(0, 40), data(20, 62)}), {1, 2},
         {.retransmitted = 20}},
        {"segments overlapping held bytes", Conn{}, with_handshake({data(40, 62), data(31, 50), data(0, 31)}),
         {1, 2},
         {.overlap = 10}},
        {"sequence numbers wrap", wrapping(), with_handshake({data(0, 31), data(62, 93), data(31, 62)}), {1, 2, 3},
         {}},
        {"message across the wrap point", wrapping(), with_handshake(byte_by_byte(q1 + q2)), {1, 2}, {}},
        {"SYN retransmitted", Conn{}, with_handshake({{true, 0, syn, {}, 0}, data(0, 31)}), {1}, {}},
        {"RST forgets the flow and its partial message",
         Conn{},
         with_handshake({data(0, 10), {true, 10, rst, {}}}),
         {},
         {.truncated = 1, .flows = 0}},
        {"FIN with a partial message", Conn{}, with_handshake({data(0, 10), {true, 11, ack | fin, {}}}), {},
         {.truncated = 1}},
        {"started mid-connection", Conn{}, {{true, 101, ack | psh, q1}, {true, 132, ack | psh, q2}}, {1, 2}, {}},
        {"started inside a message",
         Conn{},
         {{true, 106, ack | psh, slice(q1, 5, 31)}, {true, 132, ack | psh, q2}},
         {2},
         {.resync = 1}},
        {"lost segment acknowledged by the peer",
         Conn{},
         with_handshake({data(0, 31), data(62, 93), {false, 1, ack, {}, 94}, {true, 94, ack | fin, {}}}),
         {1, 3},
         {.gaps = 1}},
        {"lost segment ending inside a message",
         Conn{},
         with_handshake({data(0, 40), data(70, 93), {false, 1, ack, {}, 94}, data(93, 124, three + q1)}),
         {1, 1},
         {.gaps = 1, .resync = 1}},
        {"lost tail of the last message, acknowledged",
         Conn{},
         with_handshake({data(0, 40), {false, 1, ack, {}, 63}, data(62, 93)}),
         {1, 3},
         {.gaps = 1}},
        {"many messages in one segment",
         Conn{},
         with_handshake({{true, 1, ack | psh, q1 + q2 + q3 + framed(query(4)) + framed(query(5))}}),
         {1, 2, 3, 4, 5},
         {}},
        {"one message over many segments", Conn{}, with_handshake(byte_by_byte(big)), {9}, {}},
        {"lone length byte", Conn{}, with_handshake({data(0, 1), data(1, 31)}), {1}, {}},
        {"length field split behind a message", Conn{}, with_handshake({data(0, 32), data(32, 62)}), {1, 2}, {}},
        {"IPv6 flow", six(), with_handshake({data(0, 62)}), {1, 2}, {}},
        {"directions interleaved",
         Conn{},
         with_handshake({data(0, 20), {false, 1, ack | psh, r1, 21}, data(20, 31)}),
         {0x8001, 1},
         {}},
    };
}

class Stream : public ::testing::TestWithParam<bool> {};

TEST_P(Stream, Cases)
{
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        Pipeline p(GetParam());
        for (const Step& s : c.steps) {
            p.feed(s.from_client ? c.conn.client(s.rel, s.flags, s.data, s.ack_rel)
                                 : c.conn.server(s.rel, s.flags, s.data, s.ack_rel),
                   s.sec);
        }
        EXPECT_EQ(p.ids(), c.ids);
        EXPECT_EQ(p.ts.messages, c.ids.size());
        EXPECT_EQ(p.out.size(), c.ids.size()) << "only messages come out";
        EXPECT_EQ(int(p.ts.gaps), c.expect.gaps);
        EXPECT_EQ(int(p.ts.retransmitted_bytes), c.expect.retransmitted);
        EXPECT_EQ(int(p.ts.overlap_bytes), c.expect.overlap);
        EXPECT_EQ(int(p.ts.truncated), c.expect.truncated);
        EXPECT_EQ(p.ts.resync_bytes > 0, c.expect.resync == 1) << p.ts.resync_bytes;
        if (c.expect.flows >= 0) {
            EXPECT_EQ(int(p.ts.flows), c.expect.flows);
        }
        EXPECT_EQ(p.ts.buffer_overflows, 0u);
        for (const auto& m : p.messages()) {
            EXPECT_GE(m.bytes.size(), 12u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PushAndPull, Stream, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "pull" : "push"; });

TEST(TcpStream, MessageChainIsTheCompletingSegment)
{
    Pipeline p;
    Conn c;
    p.feed(c.client(1, ack | psh, slice(q1, 0, 20)), 10);
    p.feed(c.client(21, ack | psh, slice(q1, 20, 31)), 11);
    ASSERT_EQ(p.out.size(), 1u);
    const Out& m = p.out[0];
    EXPECT_EQ(m.bytes, query(1)) << "the message without its length field";
    EXPECT_EQ(m.chain, (std::vector<int>{CORE_OBJECT_PAYLOAD, CORE_OBJECT_TCP, CORE_OBJECT_IP, CORE_OBJECT_ETHER,
                                         CORE_OBJECT_PCAP}));
    EXPECT_EQ(m.tcp_seq, c.client_isn + 21);
    EXPECT_EQ(m.ts_sec, 11);
    EXPECT_EQ(m.sport, 40000);
}

TEST(TcpStream, OthersPassUnchanged)
{
    Pipeline p;
    const Bytes udp_frame = frames::ether(ip4(client4, server4, 17, frames::udp(query(5))));
    p.feed(udp_frame);
    ASSERT_EQ(p.out.size(), 1u);
    EXPECT_EQ(p.out[0].obj, reinterpret_cast<const core_object_t*>(&p.layer.payload)) << "the decoder's own record";
    Conn web;
    web.server_port = 80;
    p.feed(web.client(1, ack | psh, frames::text("GET / HTTP/1.0\r\n")));
    ASSERT_EQ(p.out.size(), 2u);
    EXPECT_EQ(p.out[1].chain[1], CORE_OBJECT_TCP);
    EXPECT_EQ(p.out[1].bytes, frames::text("GET / HTTP/1.0\r\n"));
    p.feed(frames::ether(ip4(client4, server4, 1, frames::icmp())));
    ASSERT_EQ(p.out.size(), 3u);
    EXPECT_EQ(p.out[2].type, CORE_OBJECT_ICMP);
    EXPECT_EQ(p.ts.segments, 0u);
    EXPECT_EQ(p.ts.flows, 0u);
}

TEST(TcpStream, AnyPortWhenPortIsZero)
{
    Pipeline p;
    p.ts.port = 0;
    Conn c;
    c.server_port = 8053;
    p.feed(c.client(1, ack | psh, q1));
    EXPECT_EQ(p.ids(), std::vector<uint16_t>{1});
}

// Each connection leaves a partial message behind, so each holds a buffer.
void partial(Pipeline& p, uint16_t client_port, int64_t sec = 0)
{
    Conn c;
    c.client_port = client_port;
    p.feed(c.client(1, ack | psh, slice(q1, 0, 10)), sec);
}

void rest(Pipeline& p, uint16_t client_port, int64_t sec = 0)
{
    Conn c;
    c.client_port = client_port;
    p.feed(c.client(11, ack | psh, slice(q1, 10, 31)), sec);
}

TEST(TcpStream, FlowLimitGivesWayToTheNewest)
{
    Pipeline p;
    filter_tcpstream_set_max_flows(&p.ts, 2);
    partial(p, 1001);
    partial(p, 1002);
    partial(p, 1003);  // 1001 gives way
    EXPECT_EQ(p.ts.flows_dropped, 1u);
    EXPECT_EQ(p.ts.flows, 2u);
    rest(p, 1002);
    rest(p, 1003);
    EXPECT_EQ(p.ids(), (std::vector<uint16_t>{1, 1}));
    rest(p, 1001);  // a new flow, inside a message: resynchronised away
    EXPECT_EQ(p.ids().size(), 2u);
    EXPECT_GT(p.ts.resync_bytes, 0u);
}

TEST(TcpStream, BufferPoolExhausted)
{
    Pipeline p;
    filter_tcpstream_set_buffers(&p.ts, 1, 65537);
    partial(p, 1001);
    partial(p, 1002);  // no buffer left: its partial message is lost
    EXPECT_EQ(p.ts.buffer_overflows, 1u);
    rest(p, 1001);
    rest(p, 1002);
    EXPECT_EQ(p.ids(), std::vector<uint16_t>{1});
    // The buffer went back to the pool once its message was whole.
    partial(p, 1003);
    rest(p, 1003);
    EXPECT_EQ(p.ids(), (std::vector<uint16_t>{1, 1}));
    EXPECT_EQ(p.ts.buffer_overflows, 1u);
}

TEST(TcpStream, MessageLongerThanTheBufferIsPassedOver)
{
    Pipeline p;
    filter_tcpstream_set_buffers(&p.ts, 4, 64);
    Conn c;
    const Bytes stream = big + q2;  // 302 bytes that cannot be held, then 31 that can
    for (size_t i = 0; i < stream.size(); i += 50) {
        p.feed(c.client(1 + uint32_t(i), ack | psh, slice(stream, i, i + 50)));
    }
    EXPECT_EQ(p.ids(), std::vector<uint16_t>{2}) << "framing kept over the long message";
    EXPECT_EQ(p.ts.buffer_overflows, 1u);
    // Whole in one segment it needs no buffer.
    Conn d;
    d.client_port = 2000;
    p.feed(d.client(1, ack | psh, big));
    EXPECT_EQ(p.ids(), (std::vector<uint16_t>{2, 9}));
}

TEST(TcpStream, OutOfOrderBeyondTheBufferGivesUpTheHole)
{
    Pipeline p;
    filter_tcpstream_set_buffers(&p.ts, 4, 64);
    Conn c;
    p.feed(c.client(0, syn, {}, 0));
    p.feed(c.client(32, ack | psh, q2));  // held at 31..62 of the 64 bytes
    p.feed(c.client(63, ack | psh, q3));  // cannot be held: the hole before q2 is given up
    EXPECT_EQ(p.ids(), (std::vector<uint16_t>{2, 3}));
    EXPECT_EQ(p.ts.gaps, 1u);
    EXPECT_EQ(p.ts.buffer_overflows, 1u);
    p.feed(c.client(1, ack | psh, q1));  // too late
    EXPECT_EQ(p.ts.retransmitted_bytes, 31u);
    EXPECT_EQ(p.ids().size(), 2u);
}

TEST(TcpStream, IdleFlowsExpireInCaptureTime)
{
    Pipeline p;
    p.ts.idle_timeout = {5, 0};
    partial(p, 1001, 100);
    partial(p, 1002, 103);
    partial(p, 1003, 106);  // 1001 idle for 6 s
    EXPECT_EQ(p.ts.idle_expired, 1u);
    EXPECT_EQ(p.ts.flows, 2u);
    rest(p, 1002, 107);
    EXPECT_EQ(p.ids(), std::vector<uint16_t>{1});
    p.ts.idle_timeout = {0, 0};
    partial(p, 1004, 10000);
    EXPECT_EQ(p.ts.idle_expired, 1u) << "0 never expires";
}

TEST(TcpStream, ManyHolesAreBounded)
{
    Pipeline p;
    Conn c;
    Bytes stream;
    for (uint16_t id = 1; id <= 40; id++) {
        stream = stream + framed(query(id));
    }
    // Every other message first: more pieces than the range list holds.
    for (size_t i = 31; i < stream.size(); i += 62) {
        p.feed(c.client(1 + uint32_t(i), ack | psh, slice(stream, i, i + 31)));
    }
    for (size_t i = 0; i < stream.size(); i += 62) {
        p.feed(c.client(1 + uint32_t(i), ack | psh, slice(stream, i, i + 31)));
    }
    EXPECT_GT(p.ts.gaps, 0u);
    EXPECT_GT(p.ts.messages, 0u);
    EXPECT_LE(p.ts.messages, 40u);
    for (const auto& m : p.messages()) {
        EXPECT_EQ(m.bytes.size(), 29u);
    }
}

TEST(TcpStream, NewConnectionOnTheSamePorts)
{
    Pipeline p;
    Conn c;
    p.feed(c.client(0, syn, {}, 0));
    p.feed(c.client(1, ack | psh, slice(q1, 0, 10)));
    Conn again = c;
    again.client_isn = 777777;
    p.feed(again.client(0, syn, {}, 0));
    p.feed(again.client(1, ack | psh, q2));
    EXPECT_EQ(p.ids(), std::vector<uint16_t>{2});
}

}  // namespace
