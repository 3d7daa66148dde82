#pragma once
// What a dnstap log said about the message the chain above carries: which
// message it was (a client query, a resolver response, ...), the transport
// as logged (DoT and DoH are streams to the chain, UDP-like ones datagrams),
// and both time stamps when the log has them. `frame` is the logged record
// itself (its protobuf bytes), so that it can be written out unchanged; it
// is not owned.
#include <cstddef>
#include <cstdint>

#include "core/object.h"
#include "core/timespec.h"

extern "C" {

typedef struct core_object_dnstap {
    const core_object_t* obj_prev;
    int32_t obj_type;
    int32_t message_type;
    int32_t socket_family;
    int32_t socket_protocol;
    int32_t http_protocol;
    uint8_t has_query_time;
    uint8_t has_response_time;
    uint8_t is_response;
    core_timespec_t query_time;
    core_timespec_t response_time;
    const uint8_t* frame;
    size_t frame_len;
} core_object_dnstap_t;

core_object_dnstap_t* core_object_dnstap_copy(const core_object_dnstap_t* self);
void core_object_dnstap_free(core_object_dnstap_t* self);

}  // extern "C"
