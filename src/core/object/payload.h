#pragma once
// the bytes carried by the top decoded layer; `payload` is not owned,
// and `padding` captured bytes past the declared end follow it.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_payload {
    const core_object_t* obj_prev;
    int32_t obj_type;
    const uint8_t* payload;
    size_t len;
    size_t padding;
} core_object_payload_t;

core_object_payload_t* core_object_payload_copy(const core_object_payload_t* self);
void core_object_payload_free(core_object_payload_t* self);

}  // extern "C"
