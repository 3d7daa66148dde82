#pragma once
// one 802.1Q / 802.1ad VLAN tag; vid keeps only the low 8 bits.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_ieee802 {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint16_t tpid;
    uint8_t pcp;
    uint8_t dei;
    uint8_t vid;
    uint16_t ether_type;
} core_object_ieee802_t;

core_object_ieee802_t* core_object_ieee802_copy(const core_object_ieee802_t* self);
void core_object_ieee802_free(core_object_ieee802_t* self);

}  // extern "C"
