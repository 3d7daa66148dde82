#pragma once
// PCAP writer: a receiver that appends the captured frame under each pushed
// object to a capture file written through libpcap's savefile writer.
#include <pcap/pcap.h>

#include "core/log.h"
#include "core/object.h"

extern "C" {

typedef struct output_pcap {
    core_log_t _log;
    pcap_t* pcap;
    pcap_dumper_t* dumper;
    uint64_t packets;  // records written since open
} output_pcap_t;

core_log_t* output_pcap_log();
void output_pcap_init(output_pcap_t* self);
void output_pcap_destroy(output_pcap_t* self);
int output_pcap_open(output_pcap_t* self, const char* file, int linktype, int snaplen);
void output_pcap_close(output_pcap_t* self);
int output_pcap_have_errors(output_pcap_t* self);
core_receiver_t output_pcap_receiver(output_pcap_t* self);

}  // extern "C"
