#pragma once
// TCP header with its option bytes.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_tcp {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint16_t sport;
    uint16_t dport;
    uint32_t seq;
    uint32_t ack;
    uint8_t off : 4;
    uint8_t x2 : 4;
    uint8_t flags;
    uint16_t win;
    uint16_t sum;
    uint16_t urp;
    uint8_t opts[64];
    size_t opts_len;
} core_object_tcp_t;

core_object_tcp_t* core_object_tcp_copy(const core_object_tcp_t* self);
void core_object_tcp_free(core_object_tcp_t* self);

}  // extern "C"
