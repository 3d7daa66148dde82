// Timing filter: the observable spacing of packets on the monotonic clock in
// every mode, realtime clock checks and the fatal paths. Gaps are tens of
// milliseconds; lower bounds are what the sleeps guarantee, upper bounds are
// generous and only there to tell a right schedule from a wrong one.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "filter/timing.h"
#include "support/capture_stderr.h"

namespace {

constexpr int64_t ms = 1000000;

int64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

core_object_pcap_t packet_at(int64_t sec, int64_t nsec)
{
    core_object_pcap_t pcap{};
    pcap.obj_type = CORE_OBJECT_PCAP;
    pcap.ts = {sec, nsec};
    return pcap;
}

// Capture times given as milliseconds after a base of 1000 s.
std::vector<core_object_pcap_t> packets_ms(std::initializer_list<int64_t> offsets)
{
    std::vector<core_object_pcap_t> out;
    for (int64_t offset : offsets) {
        const int64_t ns = 1000 * 1000000000LL + offset * ms;
        out.push_back(packet_at(ns / 1000000000LL, ns % 1000000000LL));
    }
    return out;
}

// The downstream receiver: notes when each packet arrived, then takes the
// time it was told to take for that packet.
struct Recorder {
    std::vector<int64_t> arrivals;
    std::vector<const core_object_t*> objects;
    std::vector<int64_t> busy_ns;

    static void receive(void* ctx, const core_object_t* obj)
    {
        auto* self = static_cast<Recorder*>(ctx);
        self->arrivals.push_back(monotonic_ns());
        self->objects.push_back(obj);
        const size_t index = self->arrivals.size() - 1;
        if (index < self->busy_ns.size() && self->busy_ns[index] > 0) {
            struct timespec busy = {0, static_cast<long>(self->busy_ns[index])};
            while (busy.tv_nsec >= 1000000000L) {
                busy.tv_sec++;
                busy.tv_nsec -= 1000000000L;
            }
            clock_nanosleep(CLOCK_MONOTONIC, 0, &busy, nullptr);
        }
    }

    // Arrival of packet k after packet 0, in nanoseconds.
    int64_t since_first(size_t k) const { return arrivals[k] - arrivals[0]; }
    int64_t spacing(size_t k) const { return arrivals[k] - arrivals[k - 1]; }
};

struct Filter {
    filter_timing_t* self = filter_timing_new();
    Recorder recorder;
    Filter() { self->recv = Recorder::receive, self->ctx = &recorder; }
    ~Filter() { filter_timing_free(self); }

    void push_all(std::vector<core_object_pcap_t>& packets)
    {
        const core_receiver_t receive = filter_timing_receiver(self);
        for (auto& packet : packets) {
            receive(self, reinterpret_cast<const core_object_t*>(&packet));
        }
    }
};

TEST(Timing, NewRecordIsKeepModeWithNothingSet)
{
    filter_timing_t* self = filter_timing_new();
    EXPECT_EQ(self->mode, TIMING_MODE_KEEP);
    EXPECT_EQ(self->inc + self->red + self->fixed + self->rt_batch + self->rt_drift, 0u);
    EXPECT_EQ(self->mul, 0.0f);
    EXPECT_EQ(self->recv, nullptr);
    EXPECT_EQ(self->prod, nullptr);
    EXPECT_STREQ(self->_log.name, "filter.timing");
    EXPECT_EQ(self->_log.is_obj, 1);
    EXPECT_EQ(self->_log.module, &filter_timing_log()->settings);
    filter_timing_free(self);
}

TEST(Timing, FirstPacketPassesAtOnceInEveryMode)
{
    const filter_timing_mode_t modes[] = {TIMING_MODE_KEEP, TIMING_MODE_INCREASE, TIMING_MODE_REDUCE,
                                          TIMING_MODE_MULTIPLY, TIMING_MODE_FIXED, TIMING_MODE_REALTIME};
    for (filter_timing_mode_t mode : modes) {
        Filter f;
        f.self->mode = mode;
        f.self->inc = f.self->fixed = 5000 * ms;
        f.self->mul = 100.0f;
        f.self->rt_drift = 100000 * ms;
        auto packets = packets_ms({0});
        const int64_t before = monotonic_ns();
        f.push_all(packets);
        EXPECT_LT(f.recorder.arrivals.at(0) - before, 1000 * ms) << "mode " << mode;
        EXPECT_EQ(f.recorder.objects.at(0), reinterpret_cast<const core_object_t*>(&packets[0]));
    }
}

TEST(Timing, KeepReleasesOnTheCaptureScheduleDespiteSlowDownstream)
{
    Filter f;
    auto packets = packets_ms({0, 100, 200, 300});
    // Each packet keeps the receiver busy for 80 ms: a schedule measured from
    // the end of the previous call would drift to 180 ms per packet.
    f.recorder.busy_ns = {80 * ms, 80 * ms, 80 * ms, 0};
    f.push_all(packets);
    for (size_t k = 1; k < packets.size(); k++) {
        EXPECT_GE(f.recorder.since_first(k), int64_t(k) * 100 * ms - 2 * ms) << k;
        EXPECT_LT(f.recorder.since_first(k), int64_t(k) * 100 * ms + 60 * ms) << k;
    }
}

struct Spacing {
    const char* name;
    filter_timing_mode_t mode;
    size_t amount_ns;  // inc, red or fixed
    float mul;
    std::vector<int64_t> capture_ms;
    int64_t expect_ms;  // spacing of every packet after the first
};

const Spacing spacings[] = {
    {"increase by 30 ms, gaps 20 ms", TIMING_MODE_INCREASE, 30 * ms, 0, {0, 20, 40}, 50},
    {"increase carries into the seconds", TIMING_MODE_INCREASE, 990 * ms, 0, {0, 20}, 1010},
    {"reduce by 20 ms, gaps 70 ms", TIMING_MODE_REDUCE, 20 * ms, 0, {0, 70, 140}, 50},
    {"reduce by more than the gap", TIMING_MODE_REDUCE, 2000 * ms, 0, {0, 1000, 2000}, 0},
    {"multiply by 2, gaps 30 ms", TIMING_MODE_MULTIPLY, 0, 2.0f, {0, 30, 60}, 60},
    {"multiply by 0.05, gap of 2 s: the fraction is carried", TIMING_MODE_MULTIPLY, 0, 0.05f, {0, 2000}, 100},
    {"multiply by 0.1, gap of 1.2 s", TIMING_MODE_MULTIPLY, 0, 0.1f, {0, 1200}, 120},
    {"fixed 40 ms whatever the gaps", TIMING_MODE_FIXED, 40 * ms, 0, {0, 5000, 5001}, 40},
    {"increase: earlier capture time passes", TIMING_MODE_INCREASE, 10 * ms, 0, {1000, 0}, 0},
    {"reduce: earlier capture time passes", TIMING_MODE_REDUCE, 10 * ms, 0, {1000, 0}, 0},
    {"multiply: earlier capture time passes", TIMING_MODE_MULTIPLY, 0, 2.0f, {1000, 0}, 0},
    {"multiply by 0.5: earlier capture time passes", TIMING_MODE_MULTIPLY, 0, 0.5f, {1000, 700}, 0},
};

class TimingSpacing : public ::testing::TestWithParam<Spacing> {};

TEST_P(TimingSpacing, PacketsLeaveAtTheModesSpacing)
{
    const Spacing& c = GetParam();
    Filter f;
    f.self->mode = c.mode;
    f.self->inc = f.self->red = f.self->fixed = c.amount_ns;
    f.self->mul = c.mul;
    std::vector<core_object_pcap_t> packets;
    for (int64_t offset : c.capture_ms) {
        packets.push_back(packets_ms({offset})[0]);
    }
    f.push_all(packets);
    ASSERT_EQ(f.recorder.arrivals.size(), packets.size());
    for (size_t k = 1; k < packets.size(); k++) {
        EXPECT_GE(f.recorder.spacing(k), c.expect_ms * ms - 1 * ms) << c.name << ", packet " << k;
        EXPECT_LT(f.recorder.spacing(k), c.expect_ms * ms + 60 * ms) << c.name << ", packet " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, TimingSpacing, ::testing::ValuesIn(spacings));

// A packet earlier than the first by more than the clock has run (its target
// would be a negative absolute time) is late like any other: it passes at
// once, and so do the packets after it that are due. A microsecond field of
// 0xFFFFFFFF on the first packet puts its time 4295 s ahead, the same case on
// a machine up less than that.
TEST(Timing, KeepPassesAPacketFarEarlierThanTheFirstAtOnce)
{
    const int64_t uptime_sec = monotonic_ns() / 1000000000LL;
    const struct {
        const char* name;
        std::vector<core_object_pcap_t> packets;
    } cases[] = {
        {"a billion seconds back", {packet_at(1000000000LL + uptime_sec, 0), packet_at(0, 0), packet_at(1, 0)}},
        {"microsecond field 0xFFFFFFFF first",
         {packet_at(1000, 0xFFFFFFFFLL * 1000), packet_at(1000, 0), packet_at(1000 + 4294, 0)}},
    };
    for (const auto& one : cases) {
        Filter f;
        auto packets = one.packets;
        CaptureStderr err;
        const int64_t before = monotonic_ns();
        f.push_all(packets);
        EXPECT_EQ(f.recorder.arrivals.size(), packets.size()) << one.name;
        EXPECT_LT(monotonic_ns() - before, 500 * ms) << one.name;
        EXPECT_EQ(err.text(), "") << one.name;
    }
}

TEST(Timing, FixedCountsFromWhenThePreviousPacketLeft)
{
    Filter f;
    f.self->mode = TIMING_MODE_FIXED;
    f.self->fixed = 100 * ms;
    auto packets = packets_ms({0, 1, 2});
    // Busy longer than the interval: the next packet is already due.
    f.recorder.busy_ns = {200 * ms, 0, 0};
    f.push_all(packets);
    EXPECT_GE(f.recorder.spacing(1), 200 * ms - 1 * ms);
    EXPECT_LT(f.recorder.spacing(1), 260 * ms);
    EXPECT_GE(f.recorder.spacing(2), 100 * ms - 1 * ms);
}

TEST(Timing, ModeIsTakenAtTheFirstPacket)
{
    Filter f;
    f.self->mode = TIMING_MODE_REDUCE;
    f.self->red = 5000 * ms;
    auto packets = packets_ms({0, 1000, 1030});
    const core_receiver_t receive = filter_timing_receiver(f.self);
    receive(f.self, reinterpret_cast<const core_object_t*>(&packets[0]));
    f.self->mode = TIMING_MODE_FIXED;
    f.self->fixed = 5000 * ms;
    f.self->red = 0;
    const int64_t before = monotonic_ns();
    receive(f.self, reinterpret_cast<const core_object_t*>(&packets[1]));
    receive(f.self, reinterpret_cast<const core_object_t*>(&packets[2]));
    EXPECT_LT(monotonic_ns() - before, 1000 * ms);
}

TEST(Timing, MultiplyFactorIsReadAtEveryPacket)
{
    Filter f;
    f.self->mode = TIMING_MODE_MULTIPLY;
    f.self->mul = 0.0f;
    auto packets = packets_ms({0, 1000, 1030});
    const core_receiver_t receive = filter_timing_receiver(f.self);
    receive(f.self, reinterpret_cast<const core_object_t*>(&packets[0]));
    receive(f.self, reinterpret_cast<const core_object_t*>(&packets[1]));
    f.self->mul = 2.0f;
    receive(f.self, reinterpret_cast<const core_object_t*>(&packets[2]));
    EXPECT_LT(f.recorder.spacing(1), 200 * ms);
    EXPECT_GE(f.recorder.spacing(2), 60 * ms - 1 * ms);
}

// Which packets (counting the first as 1) read the clock, seen by the info
// line each check prints.
std::vector<size_t> clock_checks(size_t batch, size_t count)
{
    Filter f;
    f.self->mode = TIMING_MODE_REALTIME;
    f.self->rt_batch = batch;
    f.self->rt_drift = 1000000 * ms;
    f.self->_log.settings.info = CORE_LOG_ON;
    const core_receiver_t receive = filter_timing_receiver(f.self);
    auto packet = packets_ms({0})[0];
    std::vector<size_t> checked;
    for (size_t n = 1; n <= count; n++) {
        CaptureStderr capture;
        receive(f.self, reinterpret_cast<const core_object_t*>(&packet));
        if (capture.text().find("simulated time: 0.000000000s; real time: ") != std::string::npos) {
            checked.push_back(n);
        }
    }
    return checked;
}

TEST(Timing, RealtimeReadsTheClockOnEveryBatchthPacket)
{
    EXPECT_EQ(clock_checks(128, 300), (std::vector<size_t>{129, 257}));
    EXPECT_EQ(clock_checks(3, 8), (std::vector<size_t>{4, 7}));
    EXPECT_EQ(clock_checks(1, 4), (std::vector<size_t>{2, 3, 4}));
    EXPECT_EQ(clock_checks(0, 4), (std::vector<size_t>{2, 3, 4}));
}

TEST(Timing, RealtimeWaitsForCaptureTimeWhenAhead)
{
    Filter f;
    f.self->mode = TIMING_MODE_REALTIME;
    f.self->rt_batch = 1;
    f.self->rt_drift = 1000 * ms;
    auto packets = packets_ms({0, 100, 101});
    f.push_all(packets);
    EXPECT_GE(f.recorder.since_first(1), 100 * ms - 2 * ms);
    EXPECT_LT(f.recorder.since_first(2), 200 * ms);
}

TEST(Timing, PullPacesAndStopsAtOtherObjects)
{
    struct Upstream {
        std::vector<const core_object_t*> objects;
        size_t next = 0;
        static const core_object_t* produce(void* ctx)
        {
            auto* self = static_cast<Upstream*>(ctx);
            return self->next < self->objects.size() ? self->objects[self->next++] : nullptr;
        }
    };
    auto packets = packets_ms({0, 1, 2});
    core_object_payload_t payload{};
    payload.obj_type = CORE_OBJECT_PAYLOAD;
    Upstream up;
    for (auto& p : packets) {
        up.objects.push_back(reinterpret_cast<const core_object_t*>(&p));
    }
    up.objects.insert(up.objects.begin() + 2, reinterpret_cast<const core_object_t*>(&payload));

    filter_timing_t* self = filter_timing_new();
    self->mode = TIMING_MODE_FIXED;
    self->fixed = 30 * ms;
    self->prod = Upstream::produce;
    self->prod_ctx = &up;
    const core_producer_t produce = filter_timing_producer(self);
    const int64_t start = monotonic_ns();
    EXPECT_EQ(produce(self), up.objects[0]);
    EXPECT_EQ(produce(self), up.objects[1]);
    const int64_t second = monotonic_ns();
    EXPECT_EQ(produce(self), nullptr);  // the payload record ends the pull
    EXPECT_EQ(produce(self), up.objects[3]);
    const int64_t third = monotonic_ns();
    EXPECT_EQ(produce(self), nullptr);  // end of input
    EXPECT_GE(second - start, 30 * ms - 1 * ms);
    EXPECT_GE(third - second, 30 * ms - 1 * ms);
    filter_timing_free(self);
}

// Fatal paths: each ends the process with status 1 and its line.
void push_pair(filter_timing_t* self, core_object_pcap_t first, core_object_pcap_t second)
{
    static Recorder recorder;
    self->recv = Recorder::receive;
    self->ctx = &recorder;
    const core_receiver_t receive = filter_timing_receiver(self);
    receive(self, reinterpret_cast<const core_object_t*>(&first));
    receive(self, reinterpret_cast<const core_object_t*>(&second));
}

constexpr const char* object_fatal = "^filter\\.timing\\[0x[0-9a-f]+\\] fatal: ";

TEST(TimingDeathTest, FatalPaths)
{
    const std::string obj = object_fatal;
    auto exits = ::testing::ExitedWithCode(1);
    EXPECT_EXIT(filter_timing_free(nullptr), exits, "^filter\\.timing fatal: self is nil\n$");
    EXPECT_EXIT(filter_timing_receiver(nullptr), exits, "^filter\\.timing fatal: self is nil\n$");
    EXPECT_EXIT(filter_timing_producer(nullptr), exits, "^filter\\.timing fatal: self is nil\n$");
    EXPECT_EXIT(filter_timing_receiver(filter_timing_new()), exits, obj + "no receiver set\n$");
    EXPECT_EXIT(filter_timing_producer(filter_timing_new()), exits, obj + "no producer set\n$");
    EXPECT_EXIT(
        {
            filter_timing_t* self = filter_timing_new();
            self->recv = Recorder::receive;
            filter_timing_receiver(self)(nullptr, nullptr);
        },
        exits, "^filter\\.timing fatal: self is nil\n$");
    EXPECT_EXIT(
        {
            filter_timing_t* self = filter_timing_new();
            self->recv = Recorder::receive;
            filter_timing_receiver(self)(self, nullptr);
        },
        exits, obj + "obj is nil\n$");
    EXPECT_EXIT(
        {
            filter_timing_t* self = filter_timing_new();
            self->recv = Recorder::receive;
            core_object_payload_t payload{};
            payload.obj_type = CORE_OBJECT_PAYLOAD;
            filter_timing_receiver(self)(self, reinterpret_cast<const core_object_t*>(&payload));
        },
        exits, obj + "obj is not CORE_OBJECT_PCAP\n$");
    EXPECT_EXIT(
        {
            filter_timing_t* self = filter_timing_new();
            self->mode = static_cast<filter_timing_mode_t>(6);
            push_pair(self, packet_at(1, 0), packet_at(2, 0));
        },
        exits, obj + "invalid timing mode 6\n$");
    // Realtime: a check on a packet captured before the first one.
    EXPECT_EXIT(
        {
            filter_timing_t* self = filter_timing_new();
            self->mode = TIMING_MODE_REALTIME;
            self->rt_batch = 1;
            self->rt_drift = 1000 * ms;
            push_pair(self, packet_at(10, 0), packet_at(9, 500000000));
        },
        exits, "^filter\\.timing fatal: stop time must be after start time\n$");
    // Realtime with no drift allowed: any real time ahead of capture time aborts.
    EXPECT_EXIT(
        {
            filter_timing_t* self = filter_timing_new();
            self->mode = TIMING_MODE_REALTIME;
            self->rt_batch = 1;
            push_pair(self, packet_at(10, 0), packet_at(10, 0));
        },
        exits,
        obj + "aborting, real time drifted ahead of simulated time \\(0\\.000000000s\\) by 0\\.[0-9]{9}s\n$");
}

TEST(Timing, DebugLinesNameTheModeAndTarget)
{
    struct Case {
        filter_timing_mode_t mode;
        const char* init_line;
        const char* sleep_line;
    } cases[] = {
        {TIMING_MODE_KEEP, "init mode keep\n", "keep mode, sleep to "},
        {TIMING_MODE_INCREASE, "init mode increase by 0.001000007\n", "increase mode, sleep to "},
        {TIMING_MODE_REDUCE, "init mode reduce by 0.001000007\n", "reduce mode, sleep to "},
        {TIMING_MODE_MULTIPLY, "init mode multiply by 1.500000\n", "multiply mode, sleep to "},
        {TIMING_MODE_FIXED, "init mode fixed by 0.001000007\n", "fixed mode, sleep to "},
        {TIMING_MODE_REALTIME, "init mode realtime\n", nullptr},
    };
    for (const Case& c : cases) {
        Filter f;
        f.self->mode = c.mode;
        f.self->inc = f.self->red = f.self->fixed = 1 * ms + 7;
        f.self->mul = 1.5f;
        f.self->rt_drift = 100000 * ms;
        f.self->_log.settings.debug = CORE_LOG_ON;
        auto packets = packets_ms({0, 3});
        std::string text;
        {
            CaptureStderr capture;
            f.push_all(packets);
            text = capture.text();
        }
        EXPECT_NE(text.find("] debug: init with clock_nanosleep() now is "), std::string::npos) << text;
        EXPECT_NE(text.find(", diff of first pkt "), std::string::npos) << text;
        EXPECT_NE(text.find(std::string("] debug: ") + c.init_line), std::string::npos) << text;
        if (c.sleep_line) {
            EXPECT_NE(text.find(std::string("] debug: ") + c.sleep_line), std::string::npos) << text;
        }
    }
}

}  // namespace
