#pragma once
// Capture input through libpcap: a live capture source or a capture file that
// libpcap opens, pushed through pcap_loop/pcap_dispatch or pulled one packet
// at a time.
#include <cstddef>
#include <cstdint>
#include <pcap/pcap.h>

#include "core/log.h"
#include "core/object.h"
#include "core/object/pcap.h"

extern "C" {

typedef struct input_pcap {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    uint8_t is_swapped;
    core_object_pcap_t prod_pkt;
    pcap_t* pcap;
    size_t pkts;
    size_t snaplen;
    uint32_t linktype;
} input_pcap_t;

core_log_t* input_pcap_log();
void input_pcap_init(input_pcap_t* self);
void input_pcap_destroy(input_pcap_t* self);
int input_pcap_create(input_pcap_t* self, const char* source);
int input_pcap_activate(input_pcap_t* self);
int input_pcap_open_offline(input_pcap_t* self, const char* file);
int input_pcap_loop(input_pcap_t* self, int cnt);
int input_pcap_dispatch(input_pcap_t* self, int cnt);
core_producer_t input_pcap_producer(input_pcap_t* self);

}  // extern "C"
