#pragma once
// Linux cooked-capture header.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_linuxsll {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint16_t packet_type;
    uint16_t arp_hardware;
    uint16_t link_layer_address_length;
    uint8_t link_layer_address[8];
    uint16_t ether_type;
} core_object_linuxsll_t;

core_object_linuxsll_t* core_object_linuxsll_copy(const core_object_linuxsll_t* self);
void core_object_linuxsll_free(core_object_linuxsll_t* self);

}  // extern "C"
