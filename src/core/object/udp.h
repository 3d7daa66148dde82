#pragma once
// UDP header.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_udp {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint16_t sport;
    uint16_t dport;
    uint16_t ulen;
    uint16_t sum;
} core_object_udp_t;

core_object_udp_t* core_object_udp_copy(const core_object_udp_t* self);
void core_object_udp_free(core_object_udp_t* self);

}  // extern "C"
