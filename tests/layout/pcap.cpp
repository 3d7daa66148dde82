#include "input/pcap.h"
#include "layout.h"
#include "output/pcap.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_pcap_t);
    LAYOUT_FIELD(input_pcap_t, _log);
    LAYOUT_FIELD(input_pcap_t, recv);
    LAYOUT_FIELD(input_pcap_t, ctx);
    LAYOUT_FIELD(input_pcap_t, is_swapped);
    LAYOUT_FIELD(input_pcap_t, prod_pkt);
    LAYOUT_FIELD(input_pcap_t, pcap);
    LAYOUT_FIELD(input_pcap_t, pkts);
    LAYOUT_FIELD(input_pcap_t, snaplen);
    LAYOUT_FIELD(input_pcap_t, linktype);

    LAYOUT_TYPE(output_pcap_t);
    LAYOUT_FIELD(output_pcap_t, _log);
    LAYOUT_FIELD(output_pcap_t, pcap);
    LAYOUT_FIELD(output_pcap_t, dumper);
    LAYOUT_FIELD(output_pcap_t, packets);
} LAYOUT_END;
