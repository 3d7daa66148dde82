#pragma once
// pcapng file reader over a compressed file mapped read-only into memory (LZ4
// frames, Zstandard, gzip/zlib or xz), decompressed straight from the
// mapping: packets that lie whole in the decompressed output are handed out
// in place, the others assembled in `buf`.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"
#include "input/zmmpcap.h"

extern "C" {

typedef struct input_zmmpcapng {
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
    size_t buf_size;
    uint16_t version_major;
    uint16_t version_minor;
    uint32_t snaplen;
    uint32_t linktype;
    size_t sections;
    void* interfaces;
    uint32_t interface_count;
    uint32_t interface_room;
} input_zmmpcapng_t;

core_log_t* input_zmmpcapng_log();
void input_zmmpcapng_init(input_zmmpcapng_t* self);
void input_zmmpcapng_destroy(input_zmmpcapng_t* self);
int input_zmmpcapng_have_support(input_zmmpcapng_t* self);
int input_zmmpcapng_open(input_zmmpcapng_t* self, const char* file);
int input_zmmpcapng_run(input_zmmpcapng_t* self);
core_producer_t input_zmmpcapng_producer(input_zmmpcapng_t* self);

}  // extern "C"
