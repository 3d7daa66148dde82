#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/object.h"
#include "core/object/pcap.h"
#include "core/object/udp.h"
#include "filter/gapcap.h"
#include "support/capture_stderr.h"

namespace {

constexpr int64_t s = 1000000000;

struct Collect {
    std::vector<int64_t> times;
    std::vector<const core_object_t*> seen;
    static void receive(void* ctx, const core_object_t* obj)
    {
        auto* self = static_cast<Collect*>(ctx);
        self->seen.push_back(obj);
        if (obj->obj_type == CORE_OBJECT_PCAP) {
            const auto* pcap = reinterpret_cast<const core_object_pcap_t*>(obj);
            self->times.push_back(pcap->ts.sec * s + pcap->ts.nsec);
        }
    }
};

core_object_pcap_t record(int64_t ns)
{
    core_object_pcap_t pcap{};
    pcap.obj_type = CORE_OBJECT_PCAP;
    int64_t sec = ns / s, nsec = ns % s;
    if (nsec < 0) {
        sec -= 1;
        nsec += s;
    }
    pcap.ts = {sec, nsec};
    pcap.caplen = pcap.len = 7;
    return pcap;
}

// What the limiter hands on for packets at `in` (ns) with cap and warning
// limit in ns, pushed one by one; the warnings logged are counted too.
std::vector<int64_t> push(const std::vector<int64_t>& in, int64_t cap, int64_t warn, filter_gapcap_t& gaps)
{
    Collect out;
    filter_gapcap_init(&gaps);
    // Warnings are shown as a tool shows them.
    gaps._log.settings.warning = 3;
    gaps.max_gap = {cap / s, cap % s};
    gaps.warn_gap = {warn / s, warn % s};
    gaps.recv = Collect::receive;
    gaps.recv_ctx = &out;
    const core_receiver_t receive = filter_gapcap_receiver(&gaps);
    for (int64_t at : in) {
        core_object_pcap_t pcap = record(at);
        receive(&gaps, reinterpret_cast<const core_object_t*>(&pcap));
    }
    return out.times;
}

TEST(GapCap, ForwardGapsAreCappedAndWarnedOf)
{
    constexpr int64_t day = 86400 * s;
    constexpr int64_t min = std::numeric_limits<int64_t>::min() / s * s;
    struct Case {
        const char* name;
        std::vector<int64_t> in;
        int64_t cap, warn;
        std::vector<int64_t> out;
        uint64_t capped, long_gaps;
    } cases[] = {
        {"no cap: unchanged", {0, s, day}, 0, 60 * s, {0, s, day}, 0, 1},
        {"one gap capped", {0, s, day, day + s}, 2 * s, 60 * s, {0, s, 3 * s, 4 * s}, 1, 1},
        {"every gap capped", {0, 10 * s, 20 * s, 30 * s}, s, 60 * s, {0, s, 2 * s, 3 * s}, 3, 0},
        {"a gap exactly at the cap stays", {0, 2 * s, 4 * s}, 2 * s, 60 * s, {0, 2 * s, 4 * s}, 0, 0},
        {"backward steps are left alone", {10 * s, 0, 20 * s}, s, 60 * s, {10 * s, 0, s}, 1, 0},
        {"before 1970", {-100 * s, -s / 2, 0}, s, 60 * s, {-100 * s, -99 * s, -99 * s + s / 2}, 1, 1},
        // The second gap cannot be measured without overflow: that packet
        // goes on as it is.
        {"from the oldest time to the newest", {min, 0, std::numeric_limits<int64_t>::max() / s * s}, s, 60 * s,
         {min, min + s, s}, 1, 2},
    };
    for (const Case& c : cases) {
        filter_gapcap_t gaps;
        CaptureStderr err;
        EXPECT_EQ(push(c.in, c.cap, c.warn, gaps), c.out) << c.name;
        EXPECT_EQ(gaps.capped, c.capped) << c.name;
        EXPECT_EQ(gaps.long_gaps, c.long_gaps) << c.name;
        const std::string text = err.text();
        size_t lines = 0;
        for (size_t at = text.find("next packet is"); at != std::string::npos; at = text.find("next packet is", at + 1)) {
            lines++;
        }
        EXPECT_EQ(lines, c.long_gaps) << c.name << ": " << text;
    }
}

TEST(GapCap, WarningSaysWhetherTheGapWasCapped)
{
    filter_gapcap_t gaps;
    CaptureStderr err;
    push({0, 86400 * s}, s, 60 * s, gaps);
    push({0, 86400 * s}, 0, 60 * s, gaps);
    const std::string text = err.text();
    EXPECT_NE(text.find("warning: next packet is 86400.000 s after the previous one (capped to 1.000 s)\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("warning: next packet is 86400.000 s after the previous one (no cap set)\n"),
              std::string::npos) << text;
}

const core_object_t* next_from(void* ctx)
{
    auto* queue = static_cast<std::vector<const core_object_t*>*>(ctx);
    if (queue->empty()) {
        return nullptr;
    }
    const core_object_t* obj = queue->front();
    queue->erase(queue->begin());
    return obj;
}

TEST(GapCap, PullGivesTheSameAndPassesOtherObjects)
{
    core_object_pcap_t a = record(0), b = record(3600 * s);
    core_object_udp_t udp{};
    udp.obj_type = CORE_OBJECT_UDP;
    std::vector<const core_object_t*> queue = {reinterpret_cast<const core_object_t*>(&a),
                                               reinterpret_cast<const core_object_t*>(&udp),
                                               reinterpret_cast<const core_object_t*>(&b)};
    filter_gapcap_t gaps;
    filter_gapcap_init(&gaps);
    gaps.max_gap = {5, 0};
    gaps.prod = next_from;
    gaps.prod_ctx = &queue;
    const core_producer_t produce = filter_gapcap_producer(&gaps);
    CaptureStderr err;
    const core_object_t* first = produce(&gaps);
    ASSERT_EQ(first, reinterpret_cast<const core_object_t*>(&gaps.pkt));
    EXPECT_EQ(reinterpret_cast<const core_object_pcap_t*>(first)->ts.sec, 0);
    EXPECT_EQ(produce(&gaps), reinterpret_cast<const core_object_t*>(&udp));
    const auto* last = reinterpret_cast<const core_object_pcap_t*>(produce(&gaps));
    EXPECT_EQ(last->ts.sec, 5);
    EXPECT_EQ(last->caplen, 7u);
    EXPECT_EQ(produce(&gaps), nullptr);
    // The records that came in are not touched.
    EXPECT_EQ(b.ts.sec, 3600);
}

}  // namespace
