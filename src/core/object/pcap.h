#pragma once
// one captured frame; `bytes` is not owned.
#include <cstddef>
#include <cstdint>

#include "core/object.h"
#include "core/timespec.h"

extern "C" {

typedef struct core_object_pcap {
    const core_object_t* obj_prev;
    int32_t obj_type;
    uint32_t snaplen;
    uint32_t linktype;
    core_timespec_t ts;
    uint32_t caplen;
    uint32_t len;
    const uint8_t* bytes;
    uint8_t is_swapped;
} core_object_pcap_t;

core_object_pcap_t* core_object_pcap_copy(const core_object_pcap_t* self);
void core_object_pcap_free(core_object_pcap_t* self);

}  // extern "C"
