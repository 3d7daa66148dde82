#include "input/zpcap.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_zpcap_t);
    LAYOUT_FIELD(input_zpcap_t, _log);
    LAYOUT_FIELD(input_zpcap_t, recv);
    LAYOUT_FIELD(input_zpcap_t, ctx);
    LAYOUT_FIELD(input_zpcap_t, is_swapped);
    LAYOUT_FIELD(input_zpcap_t, is_nanosec);
    LAYOUT_FIELD(input_zpcap_t, is_broken);
    LAYOUT_FIELD(input_zpcap_t, prod_pkt);
    LAYOUT_FIELD(input_zpcap_t, compression);
    LAYOUT_FIELD(input_zpcap_t, comp_ctx);
    LAYOUT_FIELD(input_zpcap_t, in);
    LAYOUT_FIELD(input_zpcap_t, out);
    LAYOUT_FIELD(input_zpcap_t, in_size);
    LAYOUT_FIELD(input_zpcap_t, out_size);
    LAYOUT_FIELD(input_zpcap_t, in_have);
    LAYOUT_FIELD(input_zpcap_t, out_have);
    LAYOUT_FIELD(input_zpcap_t, in_at);
    LAYOUT_FIELD(input_zpcap_t, out_at);
    LAYOUT_FIELD(input_zpcap_t, file);
    LAYOUT_FIELD(input_zpcap_t, extern_file);
    LAYOUT_FIELD(input_zpcap_t, use_fadvise);
    LAYOUT_FIELD(input_zpcap_t, pkts);
    LAYOUT_FIELD(input_zpcap_t, buf);
    LAYOUT_FIELD(input_zpcap_t, buf_size);
    LAYOUT_FIELD(input_zpcap_t, magic_number);
    LAYOUT_FIELD(input_zpcap_t, version_major);
    LAYOUT_FIELD(input_zpcap_t, version_minor);
    LAYOUT_FIELD(input_zpcap_t, thiszone);
    LAYOUT_FIELD(input_zpcap_t, sigfigs);
    LAYOUT_FIELD(input_zpcap_t, snaplen);
    LAYOUT_FIELD(input_zpcap_t, network);
    LAYOUT_FIELD(input_zpcap_t, linktype);
    LAYOUT_TYPE(input_zpcap_type_t);
} LAYOUT_END;
