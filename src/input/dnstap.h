#pragma once
// dnstap log reader: reads a Frame Streams file of dnstap records through
// stdio, plain or compressed (LZ4 frames, Zstandard, gzip, xz), and turns
// each logged DNS message into what a captured packet gives: a PCAP record
// of link type raw IP holding a synthesized IPv4/IPv6 + UDP/TCP packet (a
// TCP message behind its two-byte length, as on the wire), stamped with the
// query or the response time, and the chain above it (dnstap record, IP,
// UDP or TCP, payload without the TCP length field).
//
// The reader hands out PCAP records like every capture reader, so pacing
// and gap filters work unchanged; its chain stage (the chain_* functions),
// placed where the layer decoder would be, hands on the chain top of the
// record it is given. The stage must be in the same thread as the reader,
// with no queue between: it hands out the reader's current message.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/log.h"
#include "core/object.h"
#include "core/object/dnstap.h"
#include "core/object/pcap.h"
#include "input/zpcap.h"

extern "C" {

typedef struct input_dnstap {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    uint8_t is_broken;
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
    uint32_t snaplen;
    uint32_t linktype;
    size_t pkts;
    size_t skipped;
    uint8_t* buf;
    void* state;
    core_object_pcap_t prod_pkt;
    core_object_dnstap_t prod_tap;
    const core_object_t* top;
    core_receiver_t stage_recv;
    void* stage_ctx;
    core_producer_t stage_prod;
    void* stage_prod_ctx;
} input_dnstap_t;

core_log_t* input_dnstap_log();
void input_dnstap_init(input_dnstap_t* self);
void input_dnstap_destroy(input_dnstap_t* self);
int input_dnstap_have_support(input_dnstap_t* self);
int input_dnstap_open(input_dnstap_t* self, const char* file);
int input_dnstap_openfp(input_dnstap_t* self, FILE* fp);
void input_dnstap_fadvise_sequential(input_dnstap_t* self);
int input_dnstap_run(input_dnstap_t* self);
core_producer_t input_dnstap_producer(input_dnstap_t* self);
core_receiver_t input_dnstap_chain_receiver();
core_producer_t input_dnstap_chain_producer(input_dnstap_t* self);

}  // extern "C"
