#include "filter/gapcap.h"

#include <type_traits>

#include "core/detail/capture_time.h"
#include "core/detail/log.h"

namespace {

core_log_t module_log = core_log_module_init("filter.gapcap");

constexpr int64_t ns_per_s = 1000000000;

constexpr filter_gapcap_t defaults = {
    core_log_object_init("filter.gapcap", module_log),
    nullptr, nullptr, nullptr, nullptr,
    {0, 0}, {60, 0}, 0, 0, 0, 0, 0, {},
};

static_assert(std::is_standard_layout_v<filter_gapcap_t>);

// The record as it goes on: PCAP records get their shifted copy, anything
// else passes as it came.
const core_object_t* shifted(filter_gapcap_t* self, const core_object_t* obj)
{
    if (!obj || obj->obj_type != CORE_OBJECT_PCAP) {
        return obj;
    }
    const auto* pcap = reinterpret_cast<const core_object_pcap_t*>(obj);
    int64_t at = tvx::timespec_ns(pcap->ts.sec, pcap->ts.nsec);
    int64_t moved;
    if (__builtin_sub_overflow(at, self->shift_ns, &moved)) {
        moved = at;
    }
    if (self->have_last) {
        int64_t gap;
        if (!__builtin_sub_overflow(moved, self->last_ns, &gap) && gap > 0) {
            const int64_t cap = tvx::span_ns(self->max_gap);
            // A shift that would overflow is not taken: the packet goes on as
            // it is.
            int64_t shift = 0;
            const bool capping = cap > 0 && gap > cap && !__builtin_add_overflow(self->shift_ns, gap - cap, &shift);
            if (gap > tvx::span_ns(self->warn_gap)) {
                self->long_gaps++;
                if (capping) {
                    TVX_WARNING(self, "next packet is %.3f s after the previous one (capped to %.3f s)",
                                static_cast<double>(gap) / ns_per_s, static_cast<double>(cap) / ns_per_s);
                } else {
                    TVX_WARNING(self, "next packet is %.3f s after the previous one (%s)",
                                static_cast<double>(gap) / ns_per_s, cap > 0 ? "not capped" : "no cap set");
                }
            }
            if (capping) {
                self->capped++;
                self->shift_ns = shift;
                moved = self->last_ns + cap;
            }
        }
    }
    self->last_ns = moved;
    self->have_last = 1;
    self->pkt = *pcap;
    // Floor division keeps nanoseconds within 0..999999999 for times
    // before 1970 too.
    int64_t sec = moved / ns_per_s, nsec = moved % ns_per_s;
    if (nsec < 0) {
        sec -= 1;
        nsec += ns_per_s;
    }
    self->pkt.ts = {sec, nsec};
    return reinterpret_cast<const core_object_t*>(&self->pkt);
}

void receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<filter_gapcap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!obj) {
        TVX_FATAL(self, "obj is nil");
    }
    self->recv(self->recv_ctx, shifted(self, obj));
}

const core_object_t* produce(void* ctx)
{
    auto* self = static_cast<filter_gapcap_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    return shifted(self, self->prod(self->prod_ctx));
}

}  // namespace

extern "C" core_log_t* filter_gapcap_log()
{
    return &module_log;
}

extern "C" void filter_gapcap_init(filter_gapcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

extern "C" void filter_gapcap_destroy(filter_gapcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
}

extern "C" core_receiver_t filter_gapcap_receiver(filter_gapcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    return receive;
}

extern "C" core_producer_t filter_gapcap_producer(filter_gapcap_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->prod) {
        TVX_FATAL(self, "no producer set");
    }
    return produce;
}
