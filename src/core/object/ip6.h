#pragma once
// IPv6 fixed header and what the extension-header walk found.
#include <cstddef>
#include <cstdint>

#include "core/object.h"

extern "C" {

typedef struct core_object_ip6 {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint32_t flow;
    uint16_t plen;
    uint8_t nxt;
    uint8_t hlim;
    uint8_t src[16];
    uint8_t dst[16];
    uint8_t is_frag;
    uint8_t have_rtdst;
    uint16_t frag_offlg;
    uint16_t frag_ident;
    uint8_t rtdst[16];
} core_object_ip6_t;

core_object_ip6_t* core_object_ip6_copy(const core_object_ip6_t* self);
void core_object_ip6_free(core_object_ip6_t* self);

}  // extern "C"
