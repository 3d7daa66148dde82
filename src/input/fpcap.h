#pragma once
// PCAP file reader over a stdio stream: pushes every frame (run) or hands out
// one per pull (producer), from one frame buffer allocated at open.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"

extern "C" {

typedef struct input_fpcap {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    uint8_t is_swapped;
    uint8_t is_nanosec;
    uint8_t is_broken;
    core_object_pcap_t prod_pkt;
    FILE* file;
    int extern_file;
    int use_fadvise;
    size_t pkts;
    uint8_t* buf;
    size_t buf_size;
    uint32_t magic_number;
    uint16_t version_major;
    uint16_t version_minor;
    int32_t thiszone;
    uint32_t sigfigs;
    uint32_t snaplen;
    uint32_t network;
    uint32_t linktype;
} input_fpcap_t;

core_log_t* input_fpcap_log();
void input_fpcap_init(input_fpcap_t* self);
void input_fpcap_destroy(input_fpcap_t* self);
int input_fpcap_open(input_fpcap_t* self, const char* file);
int input_fpcap_openfp(input_fpcap_t* self, FILE* fp);
void input_fpcap_fadvise_sequential(input_fpcap_t* self);
int input_fpcap_run(input_fpcap_t* self);
core_producer_t input_fpcap_producer(input_fpcap_t* self);

}  // extern "C"
