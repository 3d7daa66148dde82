#pragma once
// Split filter: fans one stream of objects out to several receivers, in
// turn (round-robin) or to every receiver (send-all). Objects are passed
// on as they are, never copied.
#include <cstdint>

#include "core/log.h"
#include "core/object.h"

extern "C" {

// A fixed underlying type: any 32-bit value a script writes is a valid value.
typedef enum filter_split_mode : uint32_t {
    FILTER_SPLIT_MODE_ROUNDROBIN = 0,
    FILTER_SPLIT_MODE_SENDALL = 1,
} filter_split_mode_t;

typedef struct filter_split_recv filter_split_recv_t;
struct filter_split_recv {
    filter_split_recv_t* next;
    core_receiver_t recv;
    void* ctx;
};

// The entries form a ring: recv_first is the newest, recv_last the oldest
// and recv_last->next is recv_first; recv is the round-robin cursor.
typedef struct filter_split {
    core_log_t _log;
    filter_split_mode_t mode;
    filter_split_recv_t* recv_first;
    filter_split_recv_t* recv;
    filter_split_recv_t* recv_last;
} filter_split_t;

core_log_t* filter_split_log();
void filter_split_init(filter_split_t* self);
void filter_split_destroy(filter_split_t* self);
void filter_split_add(filter_split_t* self, core_receiver_t recv, void* ctx);
core_receiver_t filter_split_receiver(filter_split_t* self);

}  // extern "C"
