#include "input/mmpcap.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_mmpcap_t);
    LAYOUT_FIELD(input_mmpcap_t, _log);
    LAYOUT_FIELD(input_mmpcap_t, recv);
    LAYOUT_FIELD(input_mmpcap_t, ctx);
    LAYOUT_FIELD(input_mmpcap_t, is_swapped);
    LAYOUT_FIELD(input_mmpcap_t, is_nanosec);
    LAYOUT_FIELD(input_mmpcap_t, is_broken);
    LAYOUT_FIELD(input_mmpcap_t, prod_pkt);
    LAYOUT_FIELD(input_mmpcap_t, fd);
    LAYOUT_FIELD(input_mmpcap_t, len);
    LAYOUT_FIELD(input_mmpcap_t, at);
    LAYOUT_FIELD(input_mmpcap_t, pkts);
    LAYOUT_FIELD(input_mmpcap_t, buf);
    LAYOUT_FIELD(input_mmpcap_t, magic_number);
    LAYOUT_FIELD(input_mmpcap_t, version_major);
    LAYOUT_FIELD(input_mmpcap_t, version_minor);
    LAYOUT_FIELD(input_mmpcap_t, thiszone);
    LAYOUT_FIELD(input_mmpcap_t, sigfigs);
    LAYOUT_FIELD(input_mmpcap_t, snaplen);
    LAYOUT_FIELD(input_mmpcap_t, network);
    LAYOUT_FIELD(input_mmpcap_t, linktype);
} LAYOUT_END;
