// The PCAP format seam on its own: header tables, link types, the messages,
// and the frame loops over byte sources that copy or lend their bytes and
// that end cleanly or inside a record (as a cut or decompressed stream does).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/detail/pcap_file.h"
#include "input/fpcap.h"
#include "support/capture_stderr.h"
#include "support/frames.h"

namespace {

using frames::Bytes;
using frames::operator+;
using tvx::pcap::FileHeader;
using tvx::pcap::Frame;
using tvx::pcap::HeaderResult;

template <class T>
void put(Bytes& out, T value, bool swap)
{
    if (swap) {
        if constexpr (sizeof(T) == 2) {
            value = static_cast<T>(__builtin_bswap16(static_cast<uint16_t>(value)));
        } else {
            value = static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(value)));
        }
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

// A file header as a writer of the other byte order writes it when `swap`.
Bytes file_header(uint32_t magic, uint16_t major, uint16_t minor, int32_t zone, uint32_t snaplen, uint32_t network,
                  bool swap)
{
    Bytes out;
    put(out, magic, swap);
    put(out, major, swap);
    put(out, minor, swap);
    put(out, zone, swap);
    put(out, uint32_t(7), swap);
    put(out, snaplen, swap);
    put(out, network, swap);
    return out;
}

Bytes record(uint32_t sec, uint32_t frac, const Bytes& data, bool swap, uint32_t wire = 0)
{
    Bytes out;
    put(out, sec, swap);
    put(out, frac, swap);
    put(out, uint32_t(data.size()), swap);
    put(out, wire ? wire : uint32_t(data.size()), swap);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

TEST(PcapFormat, FileHeaders)
{
    struct Case {
        const char* name;
        Bytes bytes;
        bool limit;
        HeaderResult result;
        uint8_t swapped, nanosec;
        uint32_t snaplen;
    };
    const Case cases[] = {
        {"native usec", file_header(0xa1b2c3d4, 2, 4, -3600, 65535, 1, false), true, HeaderResult::ok, 0, 0, 65535},
        {"native nsec", file_header(0xa1b23c4d, 2, 4, 0, 1500, 1, false), true, HeaderResult::ok, 0, 1, 1500},
        {"swapped usec", file_header(0xa1b2c3d4, 2, 4, -3600, 65535, 1, true), true, HeaderResult::ok, 1, 0, 65535},
        {"swapped nsec", file_header(0xa1b23c4d, 2, 4, 0, 96, 1, true), true, HeaderResult::ok, 1, 1, 96},
        {"23 bytes", frames::cut(file_header(0xa1b2c3d4, 2, 4, 0, 1, 1, false), 23), true, HeaderResult::short_header, 0, 0, 0},
        {"no bytes", {}, true, HeaderResult::short_header, 0, 0, 0},
        {"unknown magic", file_header(0xa1b2c3d5, 2, 4, 0, 1, 1, false), true, HeaderResult::bad_magic, 0, 0, 1},
        {"snaplen at the limit", file_header(0xa1b2c3d4, 2, 4, 0, 262144, 1, false), true, HeaderResult::ok, 0, 0,
         262144},
        {"snaplen above the limit", file_header(0xa1b2c3d4, 2, 4, 0, 262145, 1, false), true,
         HeaderResult::snaplen_too_large, 0, 0, 262145},
        {"snaplen above the limit swapped", file_header(0xa1b2c3d4, 2, 4, 0, 262145, 1, true), true,
         HeaderResult::snaplen_too_large, 1, 0, 262145},
        {"no limit for a mapping", file_header(0xa1b2c3d4, 2, 4, 0, 1000000, 1, false), false, HeaderResult::ok, 0, 0,
         1000000},
        {"version 2.3", file_header(0xa1b2c3d4, 2, 3, 0, 1, 1, false), true, HeaderResult::bad_version, 0, 0, 1},
        {"version 1.4", file_header(0xa1b2c3d4, 1, 4, 0, 1, 1, false), true, HeaderResult::bad_version, 0, 0, 1},
        {"version 2.3 swapped", file_header(0xa1b2c3d4, 2, 3, 0, 1, 1, true), true, HeaderResult::bad_version, 1, 0,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FileHeader header;
        EXPECT_EQ(tvx::pcap::parse_file_header(c.bytes.data(), c.bytes.size(), c.limit, header), c.result);
        if (c.result == HeaderResult::short_header) {
            continue;
        }
        EXPECT_EQ(header.is_swapped, c.swapped);
        EXPECT_EQ(header.is_nanosec, c.nanosec);
        EXPECT_EQ(header.snaplen, c.snaplen);
        if (c.result == HeaderResult::ok) {
            EXPECT_EQ(header.version_major, 2);
            EXPECT_EQ(header.version_minor, 4);
            EXPECT_EQ(header.sigfigs, 7u);
            EXPECT_EQ(header.network, 1u);
            EXPECT_EQ(header.linktype, 1u);
            uint32_t magic;
            memcpy(&magic, c.bytes.data(), 4);
            EXPECT_EQ(header.magic_number, magic) << "the magic is kept as read";
        }
    }
    FileHeader header;
    const Bytes zone = file_header(0xa1b2c3d4, 2, 4, -3600, 65535, 1, true);
    ASSERT_EQ(tvx::pcap::parse_file_header(zone.data(), zone.size(), true, header), HeaderResult::ok);
    EXPECT_EQ(header.thiszone, -3600);
    EXPECT_EQ(header.magic_number, 0xd4c3b2a1u);
}

TEST(PcapFormat, LinkTypeTranslation)
{
    const std::pair<uint32_t, uint32_t> table[] = {
        {50, 50}, {51, 51}, {100, 11}, {101, 12}, {102, 15}, {103, 16}, {104, 104}, {106, 19},
        {0, 0},   {1, 1},   {105, 105}, {108, 108}, {113, 113}, {228, 228}, {229, 229}, {12, 12},
    };
    for (const auto& [network, linktype] : table) {
        EXPECT_EQ(tvx::pcap::linktype_of(network), linktype) << network;
    }
}

struct LogOn : ::testing::Test {
    void SetUp() override { core_log_log()->settings = {CORE_LOG_ON, CORE_LOG_ON, CORE_LOG_ON, CORE_LOG_ON, 0}; }
    void TearDown() override { core_log_log()->settings = {}; }
};

TEST_F(LogOn, HeaderMessages)
{
    const core_log_t log = core_log_module_init("input.test");
    struct Case {
        HeaderResult result;
        const char* line;
    };
    FileHeader header;
    header.snaplen = 262145;
    header.version_major = 2;
    header.version_minor = 3;
    const Case cases[] = {
        {HeaderResult::short_header, "input.test critical: could not read full PCAP header\n"},
        {HeaderResult::bad_magic, "input.test critical: invalid PCAP header\n"},
        {HeaderResult::snaplen_too_large, "input.test critical: too large snaplen (262145)\n"},
        {HeaderResult::bad_version, "input.test critical: unsupported PCAP version v2.3\n"},
        {HeaderResult::ok, ""},
    };
    for (const auto& c : cases) {
        CaptureStderr capture;
        TVX_PCAP_REPORT_HEADER(&log, c.result, header);
        EXPECT_EQ(capture.text(), c.line);
    }
}

TEST_F(LogOn, OpenedLineKeepsItsBlanks)
{
    const core_log_t log = core_log_module_init("input.test");
    FileHeader header;
    header.version_major = 2;
    header.version_minor = 4;
    header.snaplen = 65535;
    {
        CaptureStderr capture;
        TVX_PCAP_REPORT_OPENED(&log, header);
        EXPECT_EQ(capture.text(), "input.test debug: pcap v2.4 snaplen:65535 \n");
    }
    header.is_swapped = 1;
    CaptureStderr capture;
    TVX_PCAP_REPORT_OPENED(&log, header);
    EXPECT_EQ(capture.text(), "input.test debug: pcap v2.4 snaplen:65535  swapped\n");
}

TEST_F(LogOn, ReportsCarryTheCallersPosition)
{
    core_log_log()->settings.display_file_line = CORE_LOG_ON;
    const core_log_t log = core_log_module_init("input.test");
    FileHeader header;
    CaptureStderr capture;
    const size_t line = __LINE__ + 1;
    TVX_PCAP_REPORT_HEADER(&log, HeaderResult::bad_magic, header);
    EXPECT_EQ(capture.text(), "unit/pcap_file.cpp[" + std::to_string(line) + "] input.test critical: invalid PCAP header\n");
}

// A byte source over memory that either copies into the destination or lends
// a view of its own bytes, and that may stop short of a request.
struct MemorySource {
    Bytes data;
    bool lend;
    size_t at = 0;
    size_t take(size_t count, uint8_t* dst, const uint8_t** view)
    {
        const size_t got = count < data.size() - at ? count : data.size() - at;
        if (lend) {
            *view = data.data() + at;
        } else {
            memcpy(dst, data.data() + at, got);
            *view = dst;
        }
        at += got;
        return got;
    }
};

struct Collected {
    std::vector<Bytes> frames;
    std::vector<core_object_pcap_t> records;
    static void receive(void* ctx, const core_object_t* obj)
    {
        auto* self = static_cast<Collected*>(ctx);
        const auto* pcap = reinterpret_cast<const core_object_pcap_t*>(obj);
        self->records.push_back(*pcap);
        self->frames.emplace_back(pcap->bytes, pcap->bytes + pcap->caplen);
    }
};

// A reader record primed as open would leave it.
input_fpcap_t primed_reader(bool swapped, bool nanosec, uint32_t snaplen)
{
    input_fpcap_t reader;
    input_fpcap_init(&reader);
    reader.is_swapped = swapped;
    reader.is_nanosec = nanosec;
    reader.snaplen = snaplen;
    reader.linktype = 1;
    reader.prod_pkt.snaplen = snaplen;
    reader.prod_pkt.linktype = 1;
    reader.prod_pkt.is_swapped = swapped;
    return reader;
}

TEST_F(LogOn, FramesFromCopyingAndLendingSources)
{
    const Bytes one = {1, 2, 3}, two = {}, three(100, 9);
    for (bool swap : {false, true}) {
        for (bool lend : {false, true}) {
            SCOPED_TRACE(std::string(swap ? "swapped " : "native ") + (lend ? "lending" : "copying"));
            const Bytes body = record(0xffffffff, 5, one, swap, 1514) + record(2, 999999, two, swap) +
                               record(3, 0, three, swap);
            input_fpcap_t reader = primed_reader(swap, false, 100);
            Collected got;
            reader.recv = Collected::receive;
            reader.ctx = &got;
            uint8_t buf[100];
            MemorySource source{body, lend};
            EXPECT_EQ(tvx::pcap::push_all(reader, source, buf, TVX_HERE), 0);
            ASSERT_EQ(got.frames.size(), 3u);
            EXPECT_EQ(reader.pkts, 3u);
            EXPECT_EQ(got.frames[0], one);
            EXPECT_EQ(got.frames[1], two);
            EXPECT_EQ(got.frames[2], three);
            EXPECT_EQ(got.records[0].ts.sec, 4294967295);
            EXPECT_EQ(got.records[0].ts.nsec, 5000);
            EXPECT_EQ(got.records[0].len, 1514u);
            EXPECT_EQ(got.records[0].caplen, 3u);
            EXPECT_EQ(got.records[1].ts.nsec, 999999000);
            EXPECT_EQ(got.records[2].is_swapped, swap);
            EXPECT_EQ(got.records[2].obj_type, CORE_OBJECT_PCAP);
            EXPECT_EQ(got.records[2].obj_prev, nullptr);
            EXPECT_EQ(got.records[2].snaplen, 100u);
            EXPECT_EQ(got.records[2].linktype, 1u);
            if (!lend) {
                EXPECT_EQ(got.records[2].bytes, buf);
            }
        }
    }
}

// A stream that ends inside a record header is an error however much of the
// header is there; only an end at a record boundary is clean.
TEST_F(LogOn, EndInsideARecordHeaderIsAnError)
{
    const Bytes full = record(1, 1, {7, 7}, false);
    for (size_t extra = 0; extra < 16; extra++) {
        for (bool lend : {false, true}) {
            SCOPED_TRACE("header bytes " + std::to_string(extra) + (lend ? " lending" : " copying"));
            Bytes body = full;
            body.insert(body.end(), full.begin(), full.begin() + extra);
            uint8_t buf[16];
            {
                input_fpcap_t reader = primed_reader(false, false, 16);
                Collected got;
                reader.recv = Collected::receive;
                reader.ctx = &got;
                MemorySource source{body, lend};
                CaptureStderr capture;
                const int result = tvx::pcap::push_all(reader, source, buf, TVX_HERE);
                EXPECT_EQ(got.frames.size(), 1u);
                EXPECT_EQ(reader.pkts, 1u);
                if (extra == 0) {
                    EXPECT_EQ(result, 0);
                    EXPECT_EQ(capture.text(), "");
                } else {
                    EXPECT_EQ(result, -1);
                    EXPECT_NE(capture.text().find("warning: could not read next PCAP header, aborting\n"),
                              std::string::npos);
                }
            }
            {
                input_fpcap_t reader = primed_reader(false, false, 16);
                MemorySource source{body, lend};
                CaptureStderr capture;
                EXPECT_NE(tvx::pcap::pull_one(reader, source, buf, TVX_HERE), nullptr);
                EXPECT_EQ(tvx::pcap::pull_one(reader, source, buf, TVX_HERE), nullptr);
                EXPECT_EQ(reader.is_broken, extra ? 1 : 0);
                EXPECT_EQ(tvx::pcap::pull_one(reader, source, buf, TVX_HERE), nullptr);
                const std::string text = capture.text();
                EXPECT_EQ(text.find("PCAP is broken") != std::string::npos, extra != 0) << text;
            }
        }
    }
}

TEST_F(LogOn, RecordFailures)
{
    struct Case {
        const char* name;
        Bytes body;
        size_t delivered;
        const char* message;
    };
    const Bytes ok = record(1, 0, {1, 2, 3, 4}, false);
    Bytes cut_data = ok + record(2, 0, {5, 6, 7, 8}, false);
    cut_data.pop_back();
    const Case cases[] = {
        {"larger than snaplen", ok + record(2, 0, Bytes(9, 0), false), 1, "invalid packet length, larger then snaplen"},
        {"frame data cut", cut_data, 1, "could not read all of packet, aborting"},
        {"at snaplen", ok + record(2, 0, Bytes(8, 0), false), 2, nullptr},
    };
    for (const auto& c : cases) {
        for (bool lend : {false, true}) {
            SCOPED_TRACE(c.name);
            input_fpcap_t reader = primed_reader(false, true, 8);
            Collected got;
            reader.recv = Collected::receive;
            reader.ctx = &got;
            uint8_t buf[8];
            MemorySource source{c.body, lend};
            CaptureStderr capture;
            const int result = tvx::pcap::push_all(reader, source, buf, TVX_HERE);
            EXPECT_EQ(got.frames.size(), c.delivered);
            EXPECT_EQ(reader.pkts, c.delivered);
            const std::string text = capture.text();
            if (c.message) {
                EXPECT_EQ(result, -1);
                EXPECT_NE(text.find(std::string("warning: ") + c.message + "\n"), std::string::npos) << text;
            } else {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(got.records[0].ts.nsec, 0);
            }
        }
    }
}

}  // namespace
