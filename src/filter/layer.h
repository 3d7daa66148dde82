#pragma once
// Layer decoder: turns each PCAP record into a chain of layer records held in
// this record (rewritten for every frame) and hands on the topmost one.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "core/object.h"
#include "core/object/ether.h"
#include "core/object/gre.h"
#include "core/object/icmp.h"
#include "core/object/icmp6.h"
#include "core/object/ieee802.h"
#include "core/object/ip.h"
#include "core/object/ip6.h"
#include "core/object/linuxsll.h"
#include "core/object/loop.h"
#include "core/object/null.h"
#include "core/object/payload.h"
#include "core/object/pcap.h"
#include "core/object/tcp.h"
#include "core/object/udp.h"

extern "C" {

typedef struct filter_layer {
    core_log_t _log;
    core_receiver_t recv;
    void* ctx;
    core_producer_t prod;
    void* prod_ctx;
    const core_object_t* produced;
    core_object_null_t null;
    core_object_ether_t ether;
    core_object_loop_t loop;
    core_object_linuxsll_t linuxsll;
    size_t n_ieee802;
    core_object_ieee802_t ieee802[3];
    core_object_ip_t ip;
    core_object_ip6_t ip6;
    core_object_gre_t gre;
    core_object_icmp_t icmp;
    core_object_icmp6_t icmp6;
    core_object_udp_t udp;
    core_object_tcp_t tcp;
    core_object_payload_t payload;
} filter_layer_t;

core_log_t* filter_layer_log();
void filter_layer_init(filter_layer_t* self);
void filter_layer_destroy(filter_layer_t* self);
core_receiver_t filter_layer_receiver();
core_producer_t filter_layer_producer(filter_layer_t* self);

}  // extern "C"
