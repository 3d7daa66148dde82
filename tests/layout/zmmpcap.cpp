#include "input/zmmpcap.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_zmmpcap_t);
    LAYOUT_FIELD(input_zmmpcap_t, _log);
    LAYOUT_FIELD(input_zmmpcap_t, recv);
    LAYOUT_FIELD(input_zmmpcap_t, ctx);
    LAYOUT_FIELD(input_zmmpcap_t, is_swapped);
    LAYOUT_FIELD(input_zmmpcap_t, is_nanosec);
    LAYOUT_FIELD(input_zmmpcap_t, is_broken);
    LAYOUT_FIELD(input_zmmpcap_t, prod_pkt);
    LAYOUT_FIELD(input_zmmpcap_t, compression);
    LAYOUT_FIELD(input_zmmpcap_t, comp_ctx);
    LAYOUT_FIELD(input_zmmpcap_t, out);
    LAYOUT_FIELD(input_zmmpcap_t, out_size);
    LAYOUT_FIELD(input_zmmpcap_t, out_have);
    LAYOUT_FIELD(input_zmmpcap_t, out_at);
    LAYOUT_FIELD(input_zmmpcap_t, fd);
    LAYOUT_FIELD(input_zmmpcap_t, len);
    LAYOUT_FIELD(input_zmmpcap_t, at);
    LAYOUT_FIELD(input_zmmpcap_t, pkts);
    LAYOUT_FIELD(input_zmmpcap_t, map);
    LAYOUT_FIELD(input_zmmpcap_t, buf);
    LAYOUT_FIELD(input_zmmpcap_t, magic_number);
    LAYOUT_FIELD(input_zmmpcap_t, version_major);
    LAYOUT_FIELD(input_zmmpcap_t, version_minor);
    LAYOUT_FIELD(input_zmmpcap_t, thiszone);
    LAYOUT_FIELD(input_zmmpcap_t, sigfigs);
    LAYOUT_FIELD(input_zmmpcap_t, snaplen);
    LAYOUT_FIELD(input_zmmpcap_t, network);
    LAYOUT_FIELD(input_zmmpcap_t, linktype);
    LAYOUT_TYPE(input_zmmpcap_type_t);
} LAYOUT_END;
