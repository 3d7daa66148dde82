#pragma once
// PCAP file reader over a compressed stdio stream (LZ4 frames, Zstandard,
// gzip or xz), decompressed as it is read: frames that lie whole in the
// decompressed output are handed out in place, the others assembled in `buf`.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"

extern "C" {

typedef enum input_zpcap_type {
    input_zpcap_type_none = 0,
    input_zpcap_type_lz4 = 1,
    input_zpcap_type_zstd = 2,
    input_zpcap_type_gzip = 3,
    input_zpcap_type_lzma = 4
} input_zpcap_type_t;

typedef struct input_zpcap {
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
    uint32_t magic_number;
    uint16_t version_major;
    uint16_t version_minor;
    int32_t thiszone;
    uint32_t sigfigs;
    uint32_t snaplen;
    uint32_t network;
    uint32_t linktype;
} input_zpcap_t;

core_log_t* input_zpcap_log();
void input_zpcap_init(input_zpcap_t* self);
void input_zpcap_destroy(input_zpcap_t* self);
int input_zpcap_have_support(input_zpcap_t* self);
int input_zpcap_open(input_zpcap_t* self, const char* file);
int input_zpcap_openfp(input_zpcap_t* self, FILE* fp);
void input_zpcap_fadvise_sequential(input_zpcap_t* self);
int input_zpcap_run(input_zpcap_t* self);
core_producer_t input_zpcap_producer(input_zpcap_t* self);

}  // extern "C"
