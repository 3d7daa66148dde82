#pragma once
// Ethernet II header.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_ether {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint8_t dhost[6];
    uint8_t shost[6];
    uint16_t type;
} core_object_ether_t;

core_object_ether_t* core_object_ether_copy(const core_object_ether_t* self);
void core_object_ether_free(core_object_ether_t* self);

}  // extern "C"
