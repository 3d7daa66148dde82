#include "filter/copy.h"

#include <array>
#include <type_traits>

#include "core/detail/log.h"

namespace {

core_log_t module_log = core_log_module_init("filter.copy");

constexpr filter_copy_t defaults = {
    core_log_object_init("filter.copy", module_log), nullptr, nullptr, 0,
};

static_assert(std::is_standard_layout_v<filter_copy_t>);

// The type numbers in ascending order: a type's position is its bit.
constexpr std::array<int32_t, 16> type_numbers = {
    CORE_OBJECT_NONE, CORE_OBJECT_PCAP, CORE_OBJECT_ETHER, CORE_OBJECT_NULL,     CORE_OBJECT_LOOP,
    CORE_OBJECT_LINUXSLL, CORE_OBJECT_IEEE802, CORE_OBJECT_GRE, CORE_OBJECT_IP, CORE_OBJECT_IP6,
    CORE_OBJECT_ICMP, CORE_OBJECT_ICMP6, CORE_OBJECT_UDP, CORE_OBJECT_TCP, CORE_OBJECT_PAYLOAD,
    CORE_OBJECT_DNS,
};

uint64_t type_bit(const filter_copy_t* self, int32_t obj_type)
{
    for (size_t i = 0; i < type_numbers.size(); i++) {
        if (type_numbers[i] == obj_type) {
            return uint64_t{1} << i;
        }
    }
    TVX_FATAL(self, "unknown type %d", obj_type);
}

void receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<filter_copy_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    if (!obj) {
        TVX_FATAL(self, "obj is nil");
    }
    core_object_t* head = nullptr;
    core_object_t* last = nullptr;
    for (const core_object_t* layer = obj; layer; layer = layer->obj_prev) {
        if (!(self->copy & type_bit(self, layer->obj_type))) {
            continue;
        }
        core_object_t* copy = core_object_copy(layer);
        if (last) {
            last->obj_prev = copy;
        } else {
            head = copy;
        }
        last = copy;
    }
    if (!head) {
        TVX_NOTICE(self, "object discarded (no types to copy)");
        return;
    }
    self->recv(self->recv_ctx, head);
}

}  // namespace

extern "C" {

core_log_t* filter_copy_log()
{
    return &module_log;
}

void filter_copy_init(filter_copy_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

void filter_copy_destroy(filter_copy_t* self)
{
    TVX_CHECK_SELF(self, module_log);
}

void filter_copy_set(filter_copy_t* self, int32_t obj_type)
{
    TVX_CHECK_SELF(self, module_log);
    self->copy |= type_bit(self, obj_type);
}

uint64_t filter_copy_get(filter_copy_t* self, int32_t obj_type)
{
    TVX_CHECK_SELF(self, module_log);
    return self->copy & type_bit(self, obj_type);
}

core_receiver_t filter_copy_receiver(filter_copy_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver(s) set");
    }
    return receive;
}

}  // extern "C"
