#pragma once
// PCAP file reader over a read-only memory map of the whole file: records
// point straight into the mapping, so nothing is copied and a record stays
// readable for as long as the reader exists.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"

extern "C" {

typedef struct input_mmpcap {
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
    uint8_t* buf;
    uint32_t magic_number;
    uint16_t version_major;
    uint16_t version_minor;
    int32_t thiszone;
    uint32_t sigfigs;
    uint32_t snaplen;
    uint32_t network;
    uint32_t linktype;
} input_mmpcap_t;

core_log_t* input_mmpcap_log();
void input_mmpcap_init(input_mmpcap_t* self);
void input_mmpcap_destroy(input_mmpcap_t* self);
int input_mmpcap_open(input_mmpcap_t* self, const char* file);
int input_mmpcap_run(input_mmpcap_t* self);
core_producer_t input_mmpcap_producer(input_mmpcap_t* self);

}  // extern "C"
