#pragma once
// A bounded queue of object pointers between one putting and one getting
// thread: Concurrency Kit's single-producer, single-consumer ring plus a
// closed flag that lets the consumer finish. Waiting spins with sched_yield.
#include <cstddef>

#include "core/detail/ck_ring_spsc.h"
#include "core/log.h"
#include "core/object.h"

extern "C" {

typedef struct core_channel {
    core_log_t _log;
    ck_ring_buffer_t* ring_buf;
    ck_ring_t ring;
    int closed;
    size_t capacity;
    core_receiver_t recv;
    void* ctx;
} core_channel_t;

core_log_t* core_channel_log();
void core_channel_init(core_channel_t* self, size_t capacity);
void core_channel_destroy(core_channel_t* self);
void core_channel_put(core_channel_t* self, const void* obj);
int core_channel_try_put(core_channel_t* self, const void* obj);
void* core_channel_get(core_channel_t* self);
void* core_channel_try_get(core_channel_t* self);
int core_channel_size(core_channel_t* self);
bool core_channel_full(core_channel_t* self);
void core_channel_close(core_channel_t* self);
core_receiver_t core_channel_receiver();
void core_channel_run(core_channel_t* self);

}  // extern "C"
