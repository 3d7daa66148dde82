#include "input/fpcapng.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_fpcapng_t);
    LAYOUT_FIELD(input_fpcapng_t, _log);
    LAYOUT_FIELD(input_fpcapng_t, recv);
    LAYOUT_FIELD(input_fpcapng_t, ctx);
    LAYOUT_FIELD(input_fpcapng_t, is_swapped);
    LAYOUT_FIELD(input_fpcapng_t, is_nanosec);
    LAYOUT_FIELD(input_fpcapng_t, is_broken);
    LAYOUT_FIELD(input_fpcapng_t, prod_pkt);
    LAYOUT_FIELD(input_fpcapng_t, file);
    LAYOUT_FIELD(input_fpcapng_t, extern_file);
    LAYOUT_FIELD(input_fpcapng_t, use_fadvise);
    LAYOUT_FIELD(input_fpcapng_t, pkts);
    LAYOUT_FIELD(input_fpcapng_t, buf);
    LAYOUT_FIELD(input_fpcapng_t, buf_size);
    LAYOUT_FIELD(input_fpcapng_t, version_major);
    LAYOUT_FIELD(input_fpcapng_t, version_minor);
    LAYOUT_FIELD(input_fpcapng_t, snaplen);
    LAYOUT_FIELD(input_fpcapng_t, linktype);
    LAYOUT_FIELD(input_fpcapng_t, sections);
    LAYOUT_FIELD(input_fpcapng_t, interfaces);
    LAYOUT_FIELD(input_fpcapng_t, interface_count);
    LAYOUT_FIELD(input_fpcapng_t, interface_room);
} LAYOUT_END;
