#pragma once
// pcapng file reader over a read-only memory map of the whole file: records
// point straight into the mapping, so nothing is copied and a record stays
// readable for as long as the reader exists.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"

extern "C" {

typedef struct input_mmpcapng {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    uint8_t is_swapped;
    uint8_t is_nanosec;
    uint8_t is_broken;
    core_object_pcap_t prod_pkt;
    int fd;
    size_t len;
    size_t at;
    size_t pkts;
    uint8_t* map;
    uint16_t version_major;
    uint16_t version_minor;
    uint32_t snaplen;
    uint32_t linktype;
    size_t sections;
    void* interfaces;
    uint32_t interface_count;
    uint32_t interface_room;
} input_mmpcapng_t;

core_log_t* input_mmpcapng_log();
void input_mmpcapng_init(input_mmpcapng_t* self);
void input_mmpcapng_destroy(input_mmpcapng_t* self);
int input_mmpcapng_open(input_mmpcapng_t* self, const char* file);
int input_mmpcapng_run(input_mmpcapng_t* self);
core_producer_t input_mmpcapng_producer(input_mmpcapng_t* self);

}  // extern "C"
