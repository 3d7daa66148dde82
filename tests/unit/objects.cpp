#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/object.h"
#include "core/object/dns.h"
#include "core/object/dnstap.h"
#include "core/object/ether.h"
#include "core/object/gre.h"
#include "core/object/icmp.h"
#include "core/object/icmp6.h"
#include "core/object/ieee802.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/linuxsll.h"
#include "core/object/loop.h"
#include "core/object/null.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/tcp.h"
#include "core/object/udp.h"
#include "lib/clock.h"

namespace {

// A record of the given type with every byte after the header set to a
// pattern, linked to a fake record beneath it.
template <class Record>
Record patterned(int32_t type, const core_object_t* beneath)
{
    Record record;
    auto* bytes = reinterpret_cast<uint8_t*>(&record);
    for (size_t i = 0; i < sizeof(record); i++) {
        bytes[i] = static_cast<uint8_t>(0x11 + i * 7);
    }
    record.obj_prev = beneath;
    record.obj_type = type;
    return record;
}

template <class Record>
void expect_detached_copy_of(const Record& source, const Record* copy)
{
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, &source);
    EXPECT_EQ(copy->obj_prev, nullptr);
    Record relinked = *copy;
    relinked.obj_prev = source.obj_prev;
    EXPECT_EQ(std::memcmp(&relinked, &source, sizeof(Record)), 0);
}

template <class Record, Record* (*Copy)(const Record*), void (*Free)(Record*)>
void check_plain_record(int32_t type)
{
    SCOPED_TRACE(type);
    const core_object_t beneath{nullptr, CORE_OBJECT_PCAP};
    const Record source = patterned<Record>(type, &beneath);

    Record* typed = Copy(&source);
    expect_detached_copy_of(source, typed);
    Free(typed);

    auto* generic = reinterpret_cast<Record*>(core_object_copy(reinterpret_cast<const core_object_t*>(&source)));
    expect_detached_copy_of(source, generic);
    core_object_free(reinterpret_cast<core_object_t*>(generic));
}

TEST(ObjectCopy, PlainRecordsCopyEveryFieldAndDetach)
{
    check_plain_record<core_object_ether_t, core_object_ether_copy, core_object_ether_free>(CORE_OBJECT_ETHER);
    check_plain_record<core_object_null_t, core_object_null_copy, core_object_null_free>(CORE_OBJECT_NULL);
    check_plain_record<core_object_loop_t, core_object_loop_copy, core_object_loop_free>(CORE_OBJECT_LOOP);
    check_plain_record<core_object_linuxsll_t, core_object_linuxsll_copy, core_object_linuxsll_free>(
        CORE_OBJECT_LINUXSLL);
    check_plain_record<core_object_ieee802_t, core_object_ieee802_copy, core_object_ieee802_free>(
        CORE_OBJECT_IEEE802);
    check_plain_record<core_object_gre_t, core_object_gre_copy, core_object_gre_free>(CORE_OBJECT_GRE);
    check_plain_record<core_object_ip_t, core_object_ip_copy, core_object_ip_free>(CORE_OBJECT_IP);
    check_plain_record<core_object_ip6_t, core_object_ip6_copy, core_object_ip6_free>(CORE_OBJECT_IP6);
    check_plain_record<core_object_icmp_t, core_object_icmp_copy, core_object_icmp_free>(CORE_OBJECT_ICMP);
    check_plain_record<core_object_icmp6_t, core_object_icmp6_copy, core_object_icmp6_free>(CORE_OBJECT_ICMP6);
    check_plain_record<core_object_udp_t, core_object_udp_copy, core_object_udp_free>(CORE_OBJECT_UDP);
    check_plain_record<core_object_tcp_t, core_object_tcp_copy, core_object_tcp_free>(CORE_OBJECT_TCP);
    check_plain_record<core_object_dns_t, core_object_dns_copy, core_object_dns_free>(CORE_OBJECT_DNS);
}

const uint8_t* room_behind(const void* record, size_t size)
{
    return static_cast<const uint8_t*>(record) + size;
}

TEST(ObjectCopy, PcapBytesTravelInTheSameBlock)
{
    struct Case {
        const char* name;
        uint32_t caplen, len;
        bool with_bytes;
    };
    const Case cases[] = {
        {"cut frame", 60, 1514, true},
        {"whole frame", 100, 100, true},
        {"no captured bytes", 0, 40, true},
        {"null bytes", 60, 60, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> frame(c.caplen + 8);
        for (size_t i = 0; i < frame.size(); i++) {
            frame[i] = static_cast<uint8_t>(i * 3 + 1);
        }
        const core_object_t beneath{nullptr, CORE_OBJECT_NONE};
        core_object_pcap_t source{};
        source.obj_prev = &beneath;
        source.obj_type = CORE_OBJECT_PCAP;
        source.snaplen = 65535;
        source.linktype = 1;
        source.ts = {1700000000, 123456789};
        source.caplen = c.caplen;
        source.len = c.len;
        source.bytes = c.with_bytes ? frame.data() : nullptr;
        source.is_swapped = 1;

        for (bool generic : {false, true}) {
            auto* copy = generic ? reinterpret_cast<core_object_pcap_t*>(
                                       core_object_copy(reinterpret_cast<const core_object_t*>(&source)))
                                 : core_object_pcap_copy(&source);
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(copy->obj_prev, nullptr);
            EXPECT_EQ(copy->obj_type, CORE_OBJECT_PCAP);
            EXPECT_EQ(copy->snaplen, 65535u);
            EXPECT_EQ(copy->linktype, 1u);
            EXPECT_EQ(copy->ts.sec, 1700000000);
            EXPECT_EQ(copy->ts.nsec, 123456789);
            EXPECT_EQ(copy->caplen, c.caplen);
            EXPECT_EQ(copy->len, c.len);
            EXPECT_EQ(copy->is_swapped, 1);
            if (c.with_bytes) {
                EXPECT_EQ(copy->bytes, room_behind(copy, sizeof(*copy)));
                const std::vector<uint8_t> before(frame.begin(), frame.begin() + c.caplen);
                std::fill(frame.begin(), frame.end(), 0);
                EXPECT_EQ(std::vector<uint8_t>(copy->bytes, copy->bytes + c.caplen), before);
                std::ranges::copy(before, frame.begin());
            } else {
                EXPECT_EQ(copy->bytes, nullptr);
            }
            if (generic) {
                core_object_free(reinterpret_cast<core_object_t*>(copy));
            } else {
                core_object_pcap_free(copy);
            }
        }
    }
}

TEST(ObjectCopy, PayloadBytesAndPaddingTravelInTheSameBlock)
{
    struct Case {
        const char* name;
        size_t len, padding;
        bool with_bytes;
    };
    const Case cases[] = {
        {"with padding", 20, 6, true},
        {"without padding", 33, 0, true},
        {"only padding", 0, 4, true},
        {"empty", 0, 0, true},
        {"null payload", 20, 6, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> frame(c.len + c.padding + 4);
        for (size_t i = 0; i < frame.size(); i++) {
            frame[i] = static_cast<uint8_t>(0xf0 - i);
        }
        core_object_udp_t udp{};
        udp.obj_type = CORE_OBJECT_UDP;
        core_object_payload_t source{};
        source.obj_prev = reinterpret_cast<const core_object_t*>(&udp);
        source.obj_type = CORE_OBJECT_PAYLOAD;
        source.payload = c.with_bytes ? frame.data() : nullptr;
        source.len = c.len;
        source.padding = c.padding;

        for (bool generic : {false, true}) {
            auto* copy = generic ? reinterpret_cast<core_object_payload_t*>(
                                       core_object_copy(reinterpret_cast<const core_object_t*>(&source)))
                                 : core_object_payload_copy(&source);
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(copy->obj_prev, nullptr);
            EXPECT_EQ(source.obj_prev, reinterpret_cast<const core_object_t*>(&udp));
            EXPECT_EQ(copy->len, c.len);
            EXPECT_EQ(copy->padding, c.padding);
            if (c.with_bytes) {
                EXPECT_EQ(copy->payload, room_behind(copy, sizeof(*copy)));
                const std::vector<uint8_t> before(frame.begin(), frame.begin() + c.len + c.padding);
                std::fill(frame.begin(), frame.end(), 0);
                EXPECT_EQ(std::vector<uint8_t>(copy->payload, copy->payload + before.size()), before);
                std::ranges::copy(before, frame.begin());
            } else {
                EXPECT_EQ(copy->payload, nullptr);
            }
            if (generic) {
                core_object_free(reinterpret_cast<core_object_t*>(copy));
            } else {
                core_object_payload_free(copy);
            }
        }
    }
}

// Each fatal case runs in its own child process.
struct FatalCase {
    const char* name;
    void (*call)();
    const char* line;
};

template <class Record, Record* (*Copy)(const Record*)>
void copy_null()
{
    Copy(nullptr);
}

template <class Record, void (*Free)(Record*)>
void free_null()
{
    Free(nullptr);
}

void generic_copy_of_type(int32_t type)
{
    core_object_t header{nullptr, type};
    core_object_copy(&header);
}

void generic_free_of_type(int32_t type)
{
    core_object_t header{nullptr, type};
    core_object_free(&header);
}

#define RECORD_FATAL_CASES(x)                                                                  \
    FatalCase{#x " copy of null", copy_null<core_object_##x##_t, core_object_##x##_copy>,      \
              "^core/object/" #x "\\.cpp\\[[0-9]+\\] core fatal: self is nil\n$"},             \
        FatalCase                                                                              \
    {                                                                                          \
        #x " free of null", free_null<core_object_##x##_t, core_object_##x##_free>,            \
            "^core/object/" #x "\\.cpp\\[[0-9]+\\] core fatal: self is nil\n$"                 \
    }

const FatalCase fatal_cases[] = {
    {"generic copy of null", [] { core_object_copy(nullptr); }, "^core/object\\.cpp\\[[0-9]+\\] core fatal: self is nil\n$"},
    {"generic free of null", [] { core_object_free(nullptr); }, "^core/object\\.cpp\\[[0-9]+\\] core fatal: self is nil\n$"},
    {"generic copy of type 0", [] { generic_copy_of_type(0); }, "core fatal: unknown type 0\n$"},
    {"generic free of type 0", [] { generic_free_of_type(0); }, "core fatal: unknown type 0\n$"},
    {"generic copy of type 99", [] { generic_copy_of_type(99); }, "core fatal: unknown type 99\n$"},
    {"generic copy of type -3", [] { generic_copy_of_type(-3); }, "core fatal: unknown type -3\n$"},
    {"generic free of type 3", [] { generic_free_of_type(3); }, "core fatal: unknown type 3\n$"},
    {"payload whose size does not fit",
     [] {
         static const uint8_t byte = 0;
         core_object_payload_t payload{};
         payload.obj_type = CORE_OBJECT_PAYLOAD;
         payload.payload = &byte;
         payload.len = SIZE_MAX;
         payload.padding = 1;
         core_object_payload_copy(&payload);
     },
     "^core/object/payload\\.cpp\\[[0-9]+\\] core fatal: out of memory\n$"},
    RECORD_FATAL_CASES(pcap),
    RECORD_FATAL_CASES(dnstap),
    RECORD_FATAL_CASES(ether),
    RECORD_FATAL_CASES(null),
    RECORD_FATAL_CASES(loop),
    RECORD_FATAL_CASES(linuxsll),
    RECORD_FATAL_CASES(ieee802),
    RECORD_FATAL_CASES(gre),
    RECORD_FATAL_CASES(ip),
    RECORD_FATAL_CASES(ip6),
    RECORD_FATAL_CASES(icmp),
    RECORD_FATAL_CASES(icmp6),
    RECORD_FATAL_CASES(udp),
    RECORD_FATAL_CASES(tcp),
    RECORD_FATAL_CASES(payload),
};

TEST(ObjectFatal, EachCaseEndsItsProcessWithOneLine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& c : fatal_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                core_log_log()->settings.display_file_line = CORE_LOG_ON;
                c.call();
                _exit(0);
            },
            ::testing::ExitedWithCode(1), c.line);
    }
}

TEST(ObjectTcp, OffIsTheLowNibbleAndX2TheHighOne)
{
    core_object_tcp_t tcp{};
    const auto* byte = reinterpret_cast<const uint8_t*>(&tcp) + offsetof(core_object_tcp_t, flags) - 1;
    EXPECT_EQ(offsetof(core_object_tcp_t, flags), offsetof(core_object_tcp_t, ack) + sizeof(tcp.ack) + 1);
    tcp.off = 5;
    EXPECT_EQ(*byte, 0x05);
    tcp.x2 = 0xa;
    EXPECT_EQ(*byte, 0xa5);
    tcp.off = 0;
    EXPECT_EQ(*byte, 0xa0);
}

TEST(Clock, KnownClocksReadAndUnknownOnesReadZero)
{
    const core_timespec_t unknown[] = {
        lib_clock_gettime(static_cast<lib_clock_clkid_t>(2)),
        lib_clock_gettime(static_cast<lib_clock_clkid_t>(-1)),
        lib_clock_getres(static_cast<lib_clock_clkid_t>(2)),
    };
    for (const auto& reading : unknown) {
        EXPECT_EQ(reading.sec, 0);
        EXPECT_EQ(reading.nsec, 0);
    }

    const core_timespec_t resolutions[] = {lib_clock_getres(LIB_CLOCK_REALTIME), lib_clock_getres(LIB_CLOCK_MONOTONIC)};
    for (const auto& resolution : resolutions) {
        EXPECT_GT(resolution.sec * 1000000000 + resolution.nsec, 0);
    }

    const time_t before = time(nullptr);
    const core_timespec_t now = lib_clock_gettime(LIB_CLOCK_REALTIME);
    EXPECT_GE(now.sec, before);
    EXPECT_LT(now.nsec, 1000000000);

    core_timespec_t last = lib_clock_gettime(LIB_CLOCK_MONOTONIC);
    for (int i = 0; i < 1000; i++) {
        const core_timespec_t next = lib_clock_gettime(LIB_CLOCK_MONOTONIC);
        ASSERT_TRUE(next.sec > last.sec || (next.sec == last.sec && next.nsec >= last.nsec));
        last = next;
    }
}

}  // namespace
