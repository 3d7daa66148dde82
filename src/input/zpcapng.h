#pragma once
// pcapng file reader over a compressed stdio stream (LZ4 frames, Zstandard,
// gzip or xz), decompressed as it is read: packets that lie whole in the
// decompressed output are handed out in place, the others assembled in `buf`.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"
#include "input/zpcap.h"

extern "C" {

typedef struct input_zpcapng {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    uint8_t is_swapped;
    uint8_t is_nanosec;
    uint8_t is_broken;
    core_object_pcap_t prod_pkt;
    input_zpcap_type_t compression;
    void* comp_ctx;
    uint8_t* in;
    uint8_t* out;
    size_t in_size;
    size_t out_size;
    size_t in_have;
    size_t out_have;
    size_t in_at;
    size_t out_at;
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
} input_zpcapng_t;

core_log_t* input_zpcapng_log();
void input_zpcapng_init(input_zpcapng_t* self);
void input_zpcapng_destroy(input_zpcapng_t* self);
int input_zpcapng_have_support(input_zpcapng_t* self);
int input_zpcapng_open(input_zpcapng_t* self, const char* file);
int input_zpcapng_openfp(input_zpcapng_t* self, FILE* fp);
void input_zpcapng_fadvise_sequential(input_zpcapng_t* self);
int input_zpcapng_run(input_zpcapng_t* self);
core_producer_t input_zpcapng_producer(input_zpcapng_t* self);

}  // extern "C"
