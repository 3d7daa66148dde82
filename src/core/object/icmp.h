#pragma once
// ICMP header.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_icmp {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint8_t type;
    uint8_t code;
    uint16_t cksum;
} core_object_icmp_t;

core_object_icmp_t* core_object_icmp_copy(const core_object_icmp_t* self);
void core_object_icmp_free(core_object_icmp_t* self);

}  // extern "C"
