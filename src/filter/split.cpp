#include "filter/split.h"

#include <cstdlib>
#include <type_traits>

#include "core/detail/log.h"

namespace {

core_log_t module_log = core_log_module_init("filter.split");

constexpr filter_split_t defaults = {
    core_log_object_init("filter.split", module_log), FILTER_SPLIT_MODE_ROUNDROBIN, nullptr, nullptr, nullptr,
};

static_assert(std::is_standard_layout_v<filter_split_t>);
static_assert(std::is_standard_layout_v<filter_split_recv_t>);

void receive_roundrobin(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<filter_split_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    filter_split_recv_t* entry = self->recv;
    entry->recv(entry->ctx, obj);
    self->recv = entry->next;
}

void receive_sendall(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<filter_split_t*>(ctx);
    TVX_CHECK_SELF(self, module_log);
    for (filter_split_recv_t* entry = self->recv_first;; entry = entry->next) {
        entry->recv(entry->ctx, obj);
        if (entry == self->recv_last) {
            break;
        }
    }
}

}  // namespace

extern "C" {

core_log_t* filter_split_log()
{
    return &module_log;
}

void filter_split_init(filter_split_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    *self = defaults;
}

void filter_split_destroy(filter_split_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->recv_last) {
        return;
    }
    self->recv_last->next = nullptr;
    filter_split_recv_t* entry = self->recv_first;
    while (entry) {
        filter_split_recv_t* next = entry->next;
        free(entry);
        entry = next;
    }
    self->recv_first = self->recv = self->recv_last = nullptr;
}

void filter_split_add(filter_split_t* self, core_receiver_t recv, void* ctx)
{
    TVX_CHECK_SELF(self, module_log);
    if (!recv) {
        TVX_FATAL(self, "recv is nil");
    }
    auto* entry = static_cast<filter_split_recv_t*>(calloc(1, sizeof(filter_split_recv_t)));
    if (!entry) {
        TVX_FATAL(self, "out of memory");
    }
    entry->recv = recv;
    entry->ctx = ctx;
    if (!self->recv_last) {
        entry->next = entry;
        self->recv_first = self->recv_last = self->recv = entry;
        return;
    }
    entry->next = self->recv_first;
    self->recv_last->next = entry;
    self->recv_first = entry;
}

core_receiver_t filter_split_receiver(filter_split_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->recv_first) {
        TVX_FATAL(self, "no receiver(s) set");
    }
    switch (self->mode) {
    case FILTER_SPLIT_MODE_ROUNDROBIN:
        return receive_roundrobin;
    case FILTER_SPLIT_MODE_SENDALL:
        return receive_sendall;
    }
    TVX_FATAL(self, "invalid split mode");
}

}  // extern "C"
