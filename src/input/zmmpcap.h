#pragma once
// PCAP file reader over a compressed file mapped read-only into memory (LZ4
// frames, Zstandard, gzip/zlib or xz), decompressed straight from the mapping:
// frames that lie whole in the decompressed output are handed out in place,
// the others assembled in `buf`.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"

extern "C" {

typedef enum input_zmmpcap_type {
    input_zmmpcap_type_none = 0,
    input_zmmpcap_type_lz4 = 1,
    input_zmmpcap_type_zstd = 2,
    input_zmmpcap_type_gzip = 3,
    input_zmmpcap_type_lzma = 4
} input_zmmpcap_type_t;

typedef struct input_zmmpcap {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    uint8_t is_swapped;
    uint8_t is_nanosec;
    uint8_t is_broken;
    core_object_pcap_t prod_pkt;
    input_zmmpcap_type_t compression;
    void* comp_ctx;
    uint8_t* out;
    size_t out_size;
    size_t out_have;
    size_t out_at;
    int fd;
    size_t len;
    size_t at;
    size_t pkts;
    uint8_t* map;
    uint8_t* buf;
    uint32_t magic_number;
    uint16_t version_major;
    uint16_t version_minor;
    int32_t thiszone;
    uint32_t sigfigs;
    uint32_t snaplen;
    uint32_t network;
    uint32_t linktype;
} input_zmmpcap_t;

core_log_t* input_zmmpcap_log();
void input_zmmpcap_init(input_zmmpcap_t* self);
void input_zmmpcap_destroy(input_zmmpcap_t* self);
int input_zmmpcap_have_support(input_zmmpcap_t* self);
int input_zmmpcap_open(input_zmmpcap_t* self, const char* file);
int input_zmmpcap_run(input_zmmpcap_t* self);
core_producer_t input_zmmpcap_producer(input_zmmpcap_t* self);

}  // extern "C"
