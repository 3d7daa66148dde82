// Random and mutated frames of every link type through the decoder. Each frame
// sits in a heap block of exactly its captured size, so the sanitizer build
// reports any read past caplen; the checks below catch chains that point
// outside the decoder or payloads that leave the frame.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "filter/layer.h"
#include "support/decoder.h"
#include "support/frames.h"

namespace {

using namespace frames;

const Bytes query = text("fuzz-query-bytes");
const Bytes a16 = zeros(16, 0xaa);

// Well-formed starting points for the mutations, one list per link layer.
std::vector<Bytes> network_seeds()
{
    return {
        ipv4(udp(query)),
        ipv4(udp(query), {.hl = 7}),
        ipv4(tcp(query, zeros(12, 1)), {.proto = 6}),
        ipv4(icmp(), {.proto = 1}),
        ipv4(gre() + ipv4(udp(query)), {.proto = 47}),
        ipv4(udp(query), {.off = 0x2000}),
        ipv6(udp(query)),
        ipv6(ext(17, 1, udp(query)), {.nxt = 0}),
        ipv6(ext(60, 0, ext(6, 2, tcp(query))), {.nxt = 0}),
        ipv6(frag(17, 0x0001, 7, udp(query)), {.nxt = 44}),
        ipv6(routing(17, 0, 2, a16 + a16, udp(query)), {.nxt = 43}),
        ipv6(routing(44, 2, 1, a16, frag(58, 0, 1, icmp())), {.nxt = 43}),
        ipv6(query, {.nxt = 59}),
        ipv6(gre(), {.nxt = 47}),
        ipv6(icmp(), {.nxt = 58}),
    };
}

std::vector<Bytes> seeds_for(uint32_t linktype)
{
    std::vector<Bytes> seeds;
    for (const Bytes& ip : network_seeds()) {
        const uint16_t type = (ip[0] >> 4) == 6 ? 0x86dd : 0x0800;
        switch (linktype) {
        case 0:
            seeds.push_back(host32(ip[0] >> 4 == 6 ? 24 : 2) + ip);
            break;
        case 1:
            seeds.push_back(ether(ip, type));
            seeds.push_back(pad(ether(ip, type), 64));
            seeds.push_back(ether(tag(100, type, ip), 0x8100));
            seeds.push_back(ether(tag(1, 0x9100, tag(2, 0x9100, tag(3, type, ip))), 0x88a8));
            break;
        case 108:
            seeds.push_back(be32(ip[0] >> 4 == 6 ? 30 : 2) + ip);
            break;
        case 113:
            seeds.push_back(sll(ip, type));
            seeds.push_back(sll(tag(9, type, ip), 0x88a8));
            break;
        default:
            seeds.push_back(ip);
            break;
        }
    }
    return seeds;
}

// Values that steer the decoder into its branches when written anywhere.
const uint16_t interesting16[] = {0x0800, 0x86dd, 0x8100, 0x88a8, 0x9100, 0x0000, 0xffff, 0x4500, 0x6000};
const uint8_t interesting8[] = {0, 1, 2, 4, 5, 6, 15, 17, 24, 28, 30, 43, 44, 47, 50, 58, 59, 60, 0x45, 0x4f, 0x60, 0xff};

Bytes mutate(Bytes frame, std::mt19937& random)
{
    const int edits = 1 + random() % 6;
    for (int i = 0; i < edits && !frame.empty(); i++) {
        const size_t at = random() % frame.size();
        switch (random() % 6) {
        case 0:
            frame[at] ^= uint8_t(1u << (random() % 8));
            break;
        case 1:
            frame[at] = interesting8[random() % std::size(interesting8)];
            break;
        case 2:
            if (at + 1 < frame.size()) {
                const uint16_t v = interesting16[random() % std::size(interesting16)];
                frame[at] = uint8_t(v >> 8);
                frame[at + 1] = uint8_t(v);
            }
            break;
        case 3:
            frame.resize(random() % (frame.size() + 1));
            break;
        case 4:
            frame.insert(frame.begin() + at, uint8_t(random()));
            break;
        default:
            frame[at] = uint8_t(random());
            break;
        }
    }
    return frame;
}

Bytes random_frame(std::mt19937& random)
{
    Bytes frame(random() % 200);
    for (auto& byte : frame) {
        byte = uint8_t(random());
    }
    return frame;
}

bool inside_decoder(const Decoder& d, const core_object_t* obj)
{
    const auto* at = reinterpret_cast<const uint8_t*>(obj);
    const auto* start = reinterpret_cast<const uint8_t*>(&d.layer);
    return at >= start && at < start + sizeof(d.layer);
}

void check_result(const Decoder& d, const core_object_t* result)
{
    ASSERT_LE(d.layer.n_ieee802, 2u);
    ASSERT_LE(d.layer.tcp.opts_len, 40u);
    if (!result) {
        return;
    }
    size_t depth = 0;
    const core_object_t* obj = result;
    for (; obj->obj_prev; obj = obj->obj_prev) {
        ASSERT_TRUE(inside_decoder(d, obj)) << "record type " << obj->obj_type;
        ASSERT_LT(++depth, 12u) << "the chain loops";
    }
    ASSERT_EQ(obj, reinterpret_cast<const core_object_t*>(&d.pcap));
    if (result->obj_type == CORE_OBJECT_PAYLOAD) {
        const auto& payload = d.layer.payload;
        const uint8_t* frame_end = d.pcap.bytes + d.pcap.caplen;
        ASSERT_GE(payload.payload, d.pcap.bytes);
        ASSERT_LE(payload.payload, frame_end);
        ASSERT_EQ(payload.payload + payload.len + payload.padding, frame_end);
    }
}

TEST(LayerDecoderFuzz, RandomAndMutatedFramesOfEveryLinkType)
{
    const uint32_t linktypes[] = {0, 1, 12, 108, 113, 228, 229, 105};
    constexpr int rounds = 10000;
    std::mt19937 random(20240611);
    size_t decoded = 0, dropped = 0;
    Decoder pusher, puller;
    for (uint32_t linktype : linktypes) {
        const std::vector<Bytes> seeds = seeds_for(linktype);
        for (int round = 0; round < rounds; round++) {
            Bytes frame = round % 8 == 0 ? random_frame(random) : mutate(seeds[random() % seeds.size()], random);
            const bool swapped = random() % 2;
            pusher.load(linktype, frame, swapped);
            puller.load(linktype, frame, swapped);
            const core_object_t* pushed = pusher.push();
            const core_object_t* pulled = puller.pull();
            ASSERT_NO_FATAL_FAILURE(check_result(pusher, pushed)) << "link type " << linktype << " round " << round;
            ASSERT_EQ(chain_types(pushed), chain_types(pulled)) << "link type " << linktype << " round " << round;
            decoded++;
            dropped += pushed == nullptr;
        }
    }
    EXPECT_EQ(decoded, std::size(linktypes) * size_t(rounds));
    EXPECT_GT(dropped, 0u) << "the mutations should reach the drop conditions";
}

}  // namespace
