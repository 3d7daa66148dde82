// The pcapng block format code: time-stamp conversion for every resolution
// kind, interface options, and block framing over an in-memory source.
#include <gtest/gtest.h>

// g++ 12 at -O3 (the Release build of the benchmarks) reports overflows that
// cannot happen in vector inserts growing an empty vector.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif

#include <cstring>
#include <vector>

#include "core/detail/pcapng_file.h"

namespace {

using tvx::pcapng::Frame;
using tvx::pcapng::Interface;

struct StampCase {
    uint8_t tsresol;
    uint64_t stamp;
    int64_t sec;
    int64_t nsec;
};

std::vector<uint8_t> idb_body(uint8_t tsresol, int64_t offset, bool with_offset)
{
    std::vector<uint8_t> body = {1, 0, 0, 0, 0xff, 0xff, 0, 0};  // Ethernet, snaplen 65535
    const uint8_t resol[] = {9, 0, 1, 0, tsresol, 0, 0, 0};
    body.insert(body.end(), resol, resol + sizeof(resol));
    if (with_offset) {
        const uint8_t head[] = {14, 0, 8, 0};
        body.insert(body.end(), head, head + 4);
        uint8_t raw[8];
        memcpy(raw, &offset, 8);
        body.insert(body.end(), raw, raw + 8);
    }
    body.insert(body.end(), {0, 0, 0, 0});
    return body;
}

TEST(PcapngFile, StampsInEveryResolution)
{
    const StampCase cases[] = {
        {6, 1500000123456ull, 1500000, 123456000},
        {9, 1700000000123456789ull, 1700000000, 123456789},
        {3, 42007, 42, 7000000},
        {0, 77, 77, 0},
        {0x80 | 20, (uint64_t(5) << 20) | (1 << 19), 5, 500000000},
        {0x80 | 20, (uint64_t(5) << 20) | 1, 5, 953},  // floor of 1e9 / 2^20
        {0x80 | 10, 3 * 1024 + 512, 3, 500000000},
        {0x80 | 0, 9, 9, 0},
        {12, 2000000001999ull, 2, 1},  // picoseconds: the fraction of a nanosecond is dropped
        {19, 10000000000000000000ull + 99999999999ull, 1, 9},
        {0x80 | 63, (uint64_t(1) << 63) | (uint64_t(1) << 62), 1, 500000000},
    };
    for (const auto& c : cases) {
        const auto body = idb_body(c.tsresol, 0, false);
        Interface interface{};
        ASSERT_EQ(tvx::pcapng::parse_interface(tvx::Cursor(body.data(), body.size()), false, interface).frame,
                  Frame::ok);
        const core_timespec_t ts = tvx::pcapng::to_timespec(interface, c.stamp);
        EXPECT_EQ(ts.sec, c.sec) << "tsresol " << int(c.tsresol);
        EXPECT_EQ(ts.nsec, c.nsec) << "tsresol " << int(c.tsresol);
    }
}

TEST(PcapngFile, OffsetAndRefusedResolutions)
{
    Interface interface{};
    auto body = idb_body(6, -10, true);
    ASSERT_EQ(tvx::pcapng::parse_interface(tvx::Cursor(body.data(), body.size()), false, interface).frame, Frame::ok);
    EXPECT_EQ(tvx::pcapng::to_timespec(interface, 15000001).sec, 5);
    EXPECT_EQ(interface.snaplen, 65535u);
    for (uint8_t tsresol : {uint8_t(20), uint8_t(127), uint8_t(0x80 | 64), uint8_t(0xff)}) {
        body = idb_body(tsresol, 0, false);
        EXPECT_EQ(tvx::pcapng::parse_interface(tvx::Cursor(body.data(), body.size()), false, interface).frame,
                  Frame::bad_resolution)
            << int(tsresol);
    }
}

// A reader record with what the format code needs, over a byte vector.
struct Reader {
    core_log_t _log = core_log_module_init("test.pcapng");
    core_receiver_t recv = nullptr;
    void* ctx = nullptr;
    uint8_t is_swapped = 0, is_nanosec = 0, is_broken = 0;
    core_object_pcap_t prod_pkt{};
    size_t pkts = 0;
    uint16_t version_major = 0, version_minor = 0;
    uint32_t snaplen = 0, linktype = 0;
    size_t sections = 0;
    void* interfaces = nullptr;
    uint32_t interface_count = 0, interface_room = 0;
    uint8_t* buf = nullptr;
    size_t buf_size = 0;
};

struct Memory {
    const std::vector<uint8_t>& bytes;
    size_t at = 0;
    size_t take(size_t count, uint8_t* dst, const uint8_t** view)
    {
        const size_t got = bytes.size() - at < count ? bytes.size() - at : count;
        memcpy(dst, bytes.data() + at, got);
        at += got;
        *view = dst;
        return got;
    }
};

void put32(std::vector<uint8_t>& out, uint32_t value)
{
    uint8_t raw[4];
    memcpy(raw, &value, 4);
    out.insert(out.end(), raw, raw + 4);
}

std::vector<uint8_t> section()
{
    std::vector<uint8_t> out;
    put32(out, tvx::pcapng::block_section);
    put32(out, 28);
    put32(out, tvx::pcapng::byte_order_magic);
    out.insert(out.end(), {1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
    put32(out, 28);
    return out;
}

struct FramingCase {
    const char* what;
    uint32_t length;   // total length written in the header
    uint32_t trailer;  // and at the end
    size_t body;       // bytes between header and trailer
    Frame frame;
};

TEST(PcapngFile, BlockFraming)
{
    const FramingCase cases[] = {
        {"fine", 16, 16, 4, Frame::ok},
        {"not a multiple of 4", 18, 18, 6, Frame::bad_length},
        {"below the smallest", 8, 8, 0, Frame::bad_length},
        {"above the limit", tvx::pcapng::block_limit + 4, 0, 4, Frame::too_large},
        {"trailer differs", 16, 20, 4, Frame::trailer_mismatch},
        {"cut", 64, 64, 4, Frame::short_data},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = section();
        put32(bytes, 0xBAD);
        put32(bytes, c.length);
        bytes.insert(bytes.end(), c.body, 0xab);
        put32(bytes, c.trailer);
        Reader reader;
        Memory source{bytes};
        tvx::pcapng::Block block{};
        ASSERT_EQ(tvx::pcapng::read_block(reader, source, block, true).frame, Frame::ok);
        EXPECT_EQ(tvx::pcapng::read_block(reader, source, block).frame, c.frame) << c.what;
        if (c.frame == Frame::ok) {
            EXPECT_EQ(block.type, 0xBADu);
            EXPECT_EQ(block.body.left, c.body);
            EXPECT_EQ(tvx::pcapng::read_block(reader, source, block).frame, Frame::end);
        }
        tvx::pcapng::release(reader);
    }
}

}  // namespace

namespace {

// The multiply that replaces the per-packet division must give the quotient
// of a real division for every divisor a resolution can ask for and any stamp.
TEST(PcapngFile, DivisorMatchesDivision)
{
    const uint64_t values[] = {0, 1, 9, 10, 999999, 1000000, 1500000123456ull, 1700000000123456789ull,
                               0x7fffffffffffffffull, 0x8000000000000000ull, 0xfffffffffffffffeull,
                               0xffffffffffffffffull};
    uint64_t state = 88172645463325252ull;
    uint64_t divisor = 1;
    for (unsigned exponent = 1; exponent <= 19; exponent++) {
        divisor *= 10;
        const tvx::pcapng::Divisor by = tvx::pcapng::divisor_of(divisor);
        for (uint64_t value : values) {
            EXPECT_EQ(by.divide(value), value / divisor) << divisor << " " << value;
            EXPECT_EQ(by.divide(value + divisor - 1), (value + divisor - 1) / divisor) << divisor;
        }
        for (int i = 0; i < 10000; i++) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            const uint64_t value = state >> (i % 64);
            ASSERT_EQ(by.divide(value), value / divisor) << divisor << " " << value;
        }
    }
}

}  // namespace
