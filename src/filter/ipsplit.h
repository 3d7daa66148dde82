#pragma once
// IP split filter: spreads traffic over several receivers by client (the
// source address of the IP or IPv6 layer), so that one client always
// reaches the same receiver, and numbers the clients of each receiver.
#include <cstdint>

#include "core/log.h"
#include "core/object.h"

extern "C" {

// Fixed underlying types: any 32-bit value a script writes is a valid value.
typedef enum filter_ipsplit_mode : uint32_t {
    IPSPLIT_MODE_SEQUENTIAL = 0,
    IPSPLIT_MODE_RANDOM = 1,
} filter_ipsplit_mode_t;

typedef enum filter_ipsplit_overwrite : uint32_t {
    IPSPLIT_OVERWRITE_NONE = 0,
    IPSPLIT_OVERWRITE_SRC = 1,
    IPSPLIT_OVERWRITE_DST = 2,
} filter_ipsplit_overwrite_t;

typedef struct filter_ipsplit_recv filter_ipsplit_recv_t;
struct filter_ipsplit_recv {
    filter_ipsplit_recv_t* next;
    core_receiver_t recv;
    void* ctx;
    uint32_t n_clients;
    uint32_t weight;
};

// The public part of the record; the filter keeps its client table and
// total weight behind it, so records come only from filter_ipsplit_new.
typedef struct filter_ipsplit {
    core_log_t _log;
    filter_ipsplit_mode_t mode;
    filter_ipsplit_overwrite_t overwrite;
    uint64_t discarded;
    filter_ipsplit_recv_t* recv;
} filter_ipsplit_t;

core_log_t* filter_ipsplit_log();
filter_ipsplit_t* filter_ipsplit_new();
void filter_ipsplit_free(filter_ipsplit_t* self);
void filter_ipsplit_add(filter_ipsplit_t* self, core_receiver_t recv, void* ctx, uint32_t weight);
void filter_ipsplit_srand(unsigned int seed);
core_receiver_t filter_ipsplit_receiver(filter_ipsplit_t* self);

}  // extern "C"
