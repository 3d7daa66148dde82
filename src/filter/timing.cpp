#include "filter/timing.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <type_traits>

#include "core/detail/log.h"
#include "core/object/pcap.h"
#include "core/timespec.h"

static_assert(std::is_standard_layout_v<filter_timing_t>);

namespace {

core_log_t module_log = core_log_module_init("filter.timing");

constexpr filter_timing_t defaults = {
    core_log_object_init("filter.timing", module_log), nullptr, nullptr, TIMING_MODE_KEEP, 0, 0, 0, 0, 0.0f, 0,
    nullptr, nullptr,
};

constexpr int64_t ns_per_sec = 1000000000;

struct Timing;
using Step = void (*)(Timing*, const core_timespec_t& ts);

// The public record first, so a filter_timing_t* is a Timing*.
struct Timing {
    filter_timing_t pub;
    core_timespec_t keep_offset;  // first clock reading minus first capture time, fields apart
    core_timespec_t last_ts;      // capture time of the previous packet
    core_timespec_t now;          // last clock reading
    core_timespec_t start;        // clock reading at the first packet
    core_timespec_t interval;     // inc, red or fixed as a time value
    core_timespec_t first_ts;     // realtime: capture time of the first packet
    size_t rt_count;              // realtime: packets since the last clock check
    Step step;
};
static_assert(std::is_standard_layout_v<Timing>);

Timing* checked(void* ctx)
{
    auto* self = static_cast<Timing*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    return self;
}

// Brings nsec into [0, 1e9). Capture times from a valid file need at most one
// correction; a record with an out-of-range fraction must not turn into an
// invalid sleep request.
core_timespec_t normalised(int64_t sec, int64_t nsec)
{
    if (nsec >= ns_per_sec || nsec < 0) {
        int64_t carry = nsec / ns_per_sec;
        nsec %= ns_per_sec;
        if (nsec < 0) {
            nsec += ns_per_sec;
            carry -= 1;
        }
        sec += carry;
    }
    return {sec, nsec};
}

core_timespec_t plus(const core_timespec_t& a, const core_timespec_t& b)
{
    return normalised(a.sec + b.sec, a.nsec + b.nsec);
}

core_timespec_t minus(const core_timespec_t& a, const core_timespec_t& b)
{
    return normalised(a.sec - b.sec, a.nsec - b.nsec);
}

core_timespec_t from_ns(size_t ns)
{
    return {static_cast<int64_t>(ns / ns_per_sec), static_cast<int64_t>(ns % ns_per_sec)};
}

// a - b for a later than b; realtime mode's clock and capture spans.
core_timespec_t elapsed(const core_timespec_t& a, const core_timespec_t& b)
{
    const core_timespec_t span = minus(a, b);
    if (span.sec < 0) {
        TVX_FATAL(&module_log, "stop time must be after start time");
    }
    return span;
}

bool later(const core_timespec_t& a, const core_timespec_t& b)
{
    return a.sec > b.sec || (a.sec == b.sec && a.nsec > b.nsec);
}

void read_clock(Timing* self, core_timespec_t& into)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now)) {
        TVX_FATAL(self, "clock_gettime()");
    }
    into = {now.tv_sec, now.tv_nsec};
}

// A target before the clock's zero (a packet far earlier than the first, or a
// reduced gap larger than the clock reading) is in the past like any target
// before now: it returns at once, as clock_nanosleep does for those, instead
// of asking the clock for a negative time it refuses.
void sleep_until(Timing* self, const char* mode, const core_timespec_t& target)
{
    if (target.sec < 0) {
        TVX_DEBUG(self, "%s mode, %ld.%09ld is past, no sleep", mode, target.sec, target.nsec);
        return;
    }
    const struct timespec until = {static_cast<time_t>(target.sec), static_cast<long>(target.nsec)};
    int err;
    do {
        TVX_DEBUG(self, "%s mode, sleep to %ld.%09ld", mode, target.sec, target.nsec);
        err = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    } while (err == EINTR);
    if (err) {
        TVX_FATAL(self, "clock_nanosleep(%ld.%09ld) %d", target.sec, target.nsec, err);
    }
}

// Every packet leaves at start + (its capture time - the first's), so time
// spent downstream does not add up.
void keep_step(Timing* self, const core_timespec_t& ts)
{
    sleep_until(self, "keep", plus(ts, self->keep_offset));
}

// The gap modes measure the delay from when the previous packet left.
void delay_then_advance(Timing* self, const char* mode, const core_timespec_t& ts, bool sleeps,
                        const core_timespec_t& delay)
{
    if (sleeps) {
        sleep_until(self, mode, plus(self->now, delay));
    }
    self->last_ts = ts;
    read_clock(self, self->now);
}

void increase_step(Timing* self, const core_timespec_t& ts)
{
    const core_timespec_t delay = plus(minus(ts, self->last_ts), self->interval);
    delay_then_advance(self, "increase", ts, delay.sec >= 0, delay);
}

void reduce_step(Timing* self, const core_timespec_t& ts)
{
    const core_timespec_t delay = minus(minus(ts, self->last_ts), self->interval);
    delay_then_advance(self, "reduce", ts, delay.sec >= 0, delay);
}

// Single precision, truncated toward zero; kept well inside int64 so that the
// sums below cannot overflow.
int64_t truncated(float value)
{
    constexpr float limit = 4.0e18f;
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= limit) {
        return static_cast<int64_t>(limit);
    }
    if (value <= -limit) {
        return -static_cast<int64_t>(limit);
    }
    return static_cast<int64_t>(value);
}

void multiply_step(Timing* self, const core_timespec_t& ts)
{
    const core_timespec_t gap = minus(ts, self->last_ts);
    const float mul = self->pub.mul;
    const float sec_product = static_cast<float>(gap.sec) * mul;
    core_timespec_t delay = {truncated(sec_product), truncated(static_cast<float>(gap.nsec) * mul)};
    // The fraction of the scaled seconds belongs to the delay too: 0.5 x 1 s
    // is half a second, not nothing.
    delay.nsec += static_cast<int64_t>((static_cast<double>(sec_product) - static_cast<double>(delay.sec)) * 1e9);
    bool sleeps;
    if (delay.nsec >= ns_per_sec) {
        delay.sec += delay.nsec / ns_per_sec;
        delay.nsec %= ns_per_sec;
        sleeps = delay.sec >= 0;
    } else {
        sleeps = delay.nsec >= 0 && delay.sec >= 0;
    }
    delay_then_advance(self, "multiply", ts, sleeps, delay);
}

void fixed_step(Timing* self, const core_timespec_t& ts)
{
    delay_then_advance(self, "fixed", ts, true, self->interval);
}

// As fast as possible, but every rt_batch-th packet the clock is checked: a
// packet ahead of capture time waits for it; real time running too far ahead
// of capture time means the replay cannot keep up, and the run ends.
void realtime_step(Timing* self, const core_timespec_t& ts)
{
    self->rt_count++;
    if (self->rt_count < self->pub.rt_batch) {
        return;
    }
    self->rt_count = 0;
    read_clock(self, self->now);
    const core_timespec_t sim = elapsed(ts, self->first_ts);
    const core_timespec_t real = elapsed(self->now, self->start);
    TVX_INFO(self, "simulated time: %ld.%09lds; real time: %ld.%09lds", sim.sec, sim.nsec, real.sec, real.nsec);
    if (later(sim, real)) {
        const core_timespec_t pause = elapsed(sim, real);
        TVX_DEBUG(self, "sleeping for %ld.%09lds", pause.sec, pause.nsec);
        const struct timespec interval = {static_cast<time_t>(pause.sec), static_cast<long>(pause.nsec)};
        int err;
        while ((err = clock_nanosleep(CLOCK_MONOTONIC, 0, &interval, nullptr)) == EINTR) {
        }
        if (err) {
            TVX_FATAL(self, "clock_nanosleep(%ld.%09ld) %d", pause.sec, pause.nsec, err);
        }
        return;
    }
    const core_timespec_t drift = elapsed(real, sim);
    const auto limit_sec = static_cast<int64_t>(self->pub.rt_drift / ns_per_sec);
    const auto limit_nsec = static_cast<int64_t>(self->pub.rt_drift % ns_per_sec);
    if (drift.sec > limit_sec || (drift.sec == limit_sec && drift.nsec >= limit_nsec)) {
        TVX_FATAL(self, "aborting, real time drifted ahead of simulated time (%ld.%09lds) by %ld.%09lds", sim.sec,
                  sim.nsec, drift.sec, drift.nsec);
    }
}

// The first packet passes at once and fixes the mode for the rest of the run.
void first_packet(Timing* self, const core_timespec_t& ts)
{
    read_clock(self, self->now);
    self->start = self->now;
    self->keep_offset = {self->now.sec - ts.sec, self->now.nsec - ts.nsec};
    TVX_DEBUG(self, "init with clock_nanosleep() now is %ld.%09ld, diff of first pkt %ld.%09ld", self->now.sec,
              self->now.nsec, self->keep_offset.sec, self->keep_offset.nsec);
    self->last_ts = ts;
    switch (self->pub.mode) {
    case TIMING_MODE_KEEP:
        TVX_DEBUG(self, "init mode keep");
        self->step = keep_step;
        break;
    case TIMING_MODE_INCREASE:
        self->interval = from_ns(self->pub.inc);
        TVX_DEBUG(self, "init mode increase by %ld.%09ld", self->interval.sec, self->interval.nsec);
        self->step = increase_step;
        break;
    case TIMING_MODE_REDUCE:
        self->interval = from_ns(self->pub.red);
        TVX_DEBUG(self, "init mode reduce by %ld.%09ld", self->interval.sec, self->interval.nsec);
        self->step = reduce_step;
        break;
    case TIMING_MODE_MULTIPLY:
        TVX_DEBUG(self, "init mode multiply by %f", static_cast<double>(self->pub.mul));
        self->step = multiply_step;
        break;
    case TIMING_MODE_FIXED:
        self->interval = from_ns(self->pub.fixed);
        TVX_DEBUG(self, "init mode fixed by %ld.%09ld", self->interval.sec, self->interval.nsec);
        self->step = fixed_step;
        break;
    case TIMING_MODE_REALTIME:
        TVX_DEBUG(self, "init mode realtime");
        self->rt_count = 0;
        self->first_ts = ts;
        self->step = realtime_step;
        break;
    default:
        TVX_FATAL(self, "invalid timing mode %d", static_cast<int>(self->pub.mode));
    }
}

const core_timespec_t& capture_time(const core_object_t* obj)
{
    return reinterpret_cast<const core_object_pcap_t*>(obj)->ts;
}

void receive(void* ctx, const core_object_t* obj)
{
    Timing* self = checked(ctx);
    if (!obj) {
        TVX_FATAL(self, "obj is nil");
    }
    if (obj->obj_type != CORE_OBJECT_PCAP) {
        TVX_FATAL(self, "obj is not CORE_OBJECT_PCAP");
    }
    self->step(self, capture_time(obj));
    self->pub.recv(self->pub.ctx, obj);
}

const core_object_t* produce(void* ctx)
{
    Timing* self = checked(ctx);
    const core_object_t* obj = self->pub.prod(self->pub.prod_ctx);
    if (!obj || obj->obj_type != CORE_OBJECT_PCAP) {
        return nullptr;
    }
    self->step(self, capture_time(obj));
    return obj;
}

}  // namespace

extern "C" {

core_log_t* filter_timing_log()
{
    return &module_log;
}

filter_timing_t* filter_timing_new()
{
    auto* self = static_cast<Timing*>(calloc(1, sizeof(Timing)));
    if (!self) {
        TVX_FATAL(&module_log, "out of memory");
    }
    self->pub = defaults;
    self->step = first_packet;
    return &self->pub;
}

void filter_timing_free(filter_timing_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    free(reinterpret_cast<Timing*>(self));
}

core_receiver_t filter_timing_receiver(filter_timing_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    return receive;
}

core_producer_t filter_timing_producer(filter_timing_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->prod) {
        TVX_FATAL(self, "no producer set");
    }
    return produce;
}

}  // extern "C"
