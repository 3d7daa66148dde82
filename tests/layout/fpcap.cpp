#include "input/fpcap.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_fpcap_t);
    LAYOUT_FIELD(input_fpcap_t, _log);
    LAYOUT_FIELD(input_fpcap_t, recv);
    LAYOUT_FIELD(input_fpcap_t, ctx);
    LAYOUT_FIELD(input_fpcap_t, is_swapped);
    LAYOUT_FIELD(input_fpcap_t, is_nanosec);
    LAYOUT_FIELD(input_fpcap_t, is_broken);
    LAYOUT_FIELD(input_fpcap_t, prod_pkt);
    LAYOUT_FIELD(input_fpcap_t, file);
    LAYOUT_FIELD(input_fpcap_t, extern_file);
    LAYOUT_FIELD(input_fpcap_t, use_fadvise);
    LAYOUT_FIELD(input_fpcap_t, pkts);
    LAYOUT_FIELD(input_fpcap_t, buf);
    LAYOUT_FIELD(input_fpcap_t, buf_size);
    LAYOUT_FIELD(input_fpcap_t, magic_number);
    LAYOUT_FIELD(input_fpcap_t, version_major);
    LAYOUT_FIELD(input_fpcap_t, version_minor);
    LAYOUT_FIELD(input_fpcap_t, thiszone);
    LAYOUT_FIELD(input_fpcap_t, sigfigs);
    LAYOUT_FIELD(input_fpcap_t, snaplen);
    LAYOUT_FIELD(input_fpcap_t, network);
    LAYOUT_FIELD(input_fpcap_t, linktype);
} LAYOUT_END;
