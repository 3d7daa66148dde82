#pragma once
// ICMPv6 header.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_icmp6 {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint8_t type;
    uint8_t code;
    uint16_t cksum;
} core_object_icmp6_t;

core_object_icmp6_t* core_object_icmp6_copy(const core_object_icmp6_t* self);
void core_object_icmp6_free(core_object_icmp6_t* self);

}  // extern "C"
