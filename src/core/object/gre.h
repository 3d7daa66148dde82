#pragma once
// GRE header; the decoder fills only gre_flags and ether_type.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_gre {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint16_t gre_flags;
    uint16_t ether_type;
    uint16_t checksum;
    uint16_t offset;
    uint32_t key;
    uint32_t sequence;
} core_object_gre_t;

core_object_gre_t* core_object_gre_copy(const core_object_gre_t* self);
void core_object_gre_free(core_object_gre_t* self);

}  // extern "C"
