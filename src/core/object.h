#pragma once
// The object header every record starts with, the closed set of type numbers,
// the push/pull callback types and the generic copy/free over one record.
#include <cstdint>

extern "C" {

typedef struct core_object core_object_t;
struct core_object {
    const core_object_t* obj_prev;
    int32_t obj_type;
};

#define CORE_OBJECT_NONE 0
#define CORE_OBJECT_PCAP 1
#define CORE_OBJECT_DNSTAP 2
#define CORE_OBJECT_ETHER 10
#define CORE_OBJECT_NULL 11
#define CORE_OBJECT_LOOP 12
#define CORE_OBJECT_LINUXSLL 13
#define CORE_OBJECT_IEEE802 14
#define CORE_OBJECT_GRE 15
#define CORE_OBJECT_IP 20
#define CORE_OBJECT_IP6 21
#define CORE_OBJECT_ICMP 22
#define CORE_OBJECT_ICMP6 23
#define CORE_OBJECT_UDP 30
#define CORE_OBJECT_TCP 31
#define CORE_OBJECT_PAYLOAD 40
#define CORE_OBJECT_DNS 50

typedef void (*core_receiver_t)(void* ctx, const core_object_t* obj);
typedef const core_object_t* (*core_producer_t)(void* ctx);

core_object_t* core_object_copy(const core_object_t* self);
void core_object_free(core_object_t* self);

}  // extern "C"
