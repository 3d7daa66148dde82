#pragma once
// OpenBSD loop header (family in network order).
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_loop {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint32_t family;
} core_object_loop_t;

core_object_loop_t* core_object_loop_copy(const core_object_loop_t* self);
void core_object_loop_free(core_object_loop_t* self);

}  // extern "C"
