#include "core/channel.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <sched.h>
#include <type_traits>

#include "core/detail/log.h"

static_assert(std::is_standard_layout_v<core_channel_t>);

namespace {

core_log_t module_log = core_log_module_init("core.channel");

const core_channel_t channel_defaults = {
    core_log_object_init("core.channel", module_log), nullptr, {}, 0, 0, nullptr, nullptr,
};

// The ring's indices are free-running 32-bit counters and ck_ring keeps the
// slot count in an unsigned int, so 2^31 slots is the most it can address.
constexpr size_t max_capacity = size_t{1} << 31;

bool valid_capacity(size_t capacity)
{
    if (capacity < 4 || capacity > max_capacity) {
        return false;
    }
    return (capacity & (capacity - 1)) == 0;
}

// Fatal on a record that never went through init; its own log handle is empty
// then, so the module log reports it.
void check_ready(const core_channel_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    if (!self->ring_buf) {
        TVX_FATAL(&module_log, "ring_buf is nil");
    }
}

// `close` may come from either thread; the consumer reads the flag fresh after
// every yield. Release/acquire makes every item put before `close` visible to a
// consumer that has seen the flag.
bool is_closed(const core_channel_t* self)
{
    return std::atomic_ref<int>(const_cast<int&>(self->closed)).load(std::memory_order_acquire) != 0;
}

// ck_ring's single-producer, single-consumer protocol on its own ring record,
// written here so that it inlines into put, get and the drain loop (ck's
// functions compile only as C and cost a call per object): the producer
// publishes a slot with a release store of p_tail, the consumer frees one
// with a release store of c_head, each reading the other's index with
// acquire. A ring filled or drained by ck's own functions reads the same.
[[gnu::always_inline]] inline bool try_enqueue(core_channel_t* self, const void* obj)
{
    ck_ring_t& ring = self->ring;
    const unsigned int consumer = std::atomic_ref<unsigned int>(ring.c_head).load(std::memory_order_acquire);
    const unsigned int producer = ring.p_tail;
    const unsigned int next = producer + 1;
    if ((next & ring.mask) == (consumer & ring.mask)) [[unlikely]] {
        return false;
    }
    self->ring_buf[producer & ring.mask].value = const_cast<void*>(obj);
    std::atomic_ref<unsigned int>(ring.p_tail).store(next, std::memory_order_release);
    return true;
}

[[gnu::always_inline]] inline bool try_dequeue(core_channel_t* self, void** obj)
{
    ck_ring_t& ring = self->ring;
    const unsigned int consumer = ring.c_head;
    const unsigned int producer = std::atomic_ref<unsigned int>(ring.p_tail).load(std::memory_order_acquire);
    if (consumer == producer) [[unlikely]] {
        return false;
    }
    *obj = self->ring_buf[consumer & ring.mask].value;
    std::atomic_ref<unsigned int>(ring.c_head).store(consumer + 1, std::memory_order_release);
    return true;
}

// Every object in the ring now to the receiver: the producer's index is read
// once and the consumer's stored once for the whole run of objects.
unsigned int drain(core_channel_t* self)
{
    ck_ring_t& ring = self->ring;
    const unsigned int producer = std::atomic_ref<unsigned int>(ring.p_tail).load(std::memory_order_acquire);
    unsigned int consumer = ring.c_head;
    const unsigned int handed = producer - consumer;
    const core_receiver_t recv = self->recv;
    void* const ctx = self->ctx;
    for (; consumer != producer; consumer++) {
        const auto* obj = static_cast<const core_object_t*>(self->ring_buf[consumer & ring.mask].value);
        // The slot is free once its object was read, so the producer may
        // refill it while the receiver works.
        std::atomic_ref<unsigned int>(ring.c_head).store(consumer + 1, std::memory_order_release);
        recv(ctx, obj);
    }
    return handed;
}

// Inlined into both the exported put and the receiver, so that an upstream
// pushing through the receiver pays one call per object into the channel.
[[gnu::always_inline]] inline void put(core_channel_t* self, const void* obj)
{
    check_ready(self);
    while (!try_enqueue(self, obj)) {
        sched_yield();
    }
}

[[gnu::noinline]] void put_waiting(core_channel_t* self, const void* obj)
{
    put(self, obj);
}

// The channel as a downstream receiver: the upstream's object goes in
// unchanged. A ring with room takes it with no call and no frame; the checks
// that end the program and the wait for room are out of line.
void receive(void* ctx, const core_object_t* obj)
{
    auto* self = static_cast<core_channel_t*>(ctx);
    if (self && self->ring_buf && try_enqueue(self, obj)) [[likely]] {
        return;
    }
    put_waiting(self, obj);
}

}  // namespace

extern "C" core_log_t* core_channel_log()
{
    return &module_log;
}

extern "C" void core_channel_init(core_channel_t* self, size_t capacity)
{
    TVX_CHECK_SELF(self, module_log);
    if (!valid_capacity(capacity)) {
        TVX_FATAL(&module_log, "invalid capacity");
    }
    *self = channel_defaults;
    self->capacity = capacity;
    self->ring_buf = static_cast<ck_ring_buffer_t*>(calloc(capacity, sizeof(ck_ring_buffer_t)));
    if (!self->ring_buf) {
        TVX_FATAL(self, "out of memory");
    }
    tvx_ring_init(&self->ring, static_cast<unsigned int>(capacity));
}

extern "C" void core_channel_destroy(core_channel_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    free(self->ring_buf);
    self->ring_buf = nullptr;
}

extern "C" void core_channel_put(core_channel_t* self, const void* obj)
{
    put(self, obj);
}

extern "C" int core_channel_try_put(core_channel_t* self, const void* obj)
{
    check_ready(self);
    return try_enqueue(self, obj) ? 0 : -1;
}

extern "C" void* core_channel_get(core_channel_t* self)
{
    check_ready(self);
    void* obj;
    for (;;) {
        if (try_dequeue(self, &obj)) {
            return obj;
        }
        sched_yield();
        if (is_closed(self)) {
            // An item put just before close may have become visible after the
            // ring looked empty above: only a ring empty after the flag ends it.
            if (try_dequeue(self, &obj)) {
                return obj;
            }
            TVX_INFO(self, "channel closed");
            return nullptr;
        }
    }
}

extern "C" void* core_channel_try_get(core_channel_t* self)
{
    check_ready(self);
    void* obj;
    return try_dequeue(self, &obj) ? obj : nullptr;
}

extern "C" int core_channel_size(core_channel_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return static_cast<int>(tvx_ring_size(&self->ring));
}

extern "C" bool core_channel_full(core_channel_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    return self->capacity > 0 && tvx_ring_size(&self->ring) >= self->capacity - 1;
}

extern "C" void core_channel_close(core_channel_t* self)
{
    TVX_CHECK_SELF(self, module_log);
    std::atomic_ref<int>(self->closed).store(1, std::memory_order_release);
}

extern "C" core_receiver_t core_channel_receiver()
{
    return receive;
}

extern "C" void core_channel_run(core_channel_t* self)
{
    check_ready(self);
    if (!self->recv) {
        TVX_FATAL(self, "no receiver set");
    }
    for (;;) {
        if (drain(self) > 0) {
            continue;
        }
        sched_yield();
        if (is_closed(self)) {
            // Drain what was put before close and became visible only now.
            drain(self);
            TVX_INFO(self, "channel closed");
            return;
        }
    }
}
