#pragma once
// BSD null loopback header (family in host order of the capture).
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_null {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint32_t family;
} core_object_null_t;

core_object_null_t* core_object_null_copy(const core_object_null_t* self);
void core_object_null_free(core_object_null_t* self);

}  // extern "C"
