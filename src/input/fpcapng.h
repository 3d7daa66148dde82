#pragma once
// pcapng file reader over a stdio stream: pushes every packet (run) or hands
// out one per pull (producer), each as a PCAP record carrying the link type
// of its own interface, from one block buffer that grows to the largest
// block read.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"

extern "C" {

typedef struct input_fpcapng {
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
    uint16_t version_major;
    uint16_t version_minor;
    uint32_t snaplen;
    uint32_t linktype;
    size_t sections;
    void* interfaces;
    uint32_t interface_count;
    uint32_t interface_room;
} input_fpcapng_t;

core_log_t* input_fpcapng_log();
void input_fpcapng_init(input_fpcapng_t* self);
void input_fpcapng_destroy(input_fpcapng_t* self);
int input_fpcapng_open(input_fpcapng_t* self, const char* file);
int input_fpcapng_openfp(input_fpcapng_t* self, FILE* fp);
void input_fpcapng_fadvise_sequential(input_fpcapng_t* self);
int input_fpcapng_run(input_fpcapng_t* self);
core_producer_t input_fpcapng_producer(input_fpcapng_t* self);

}  // extern "C"
