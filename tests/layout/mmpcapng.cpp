#include "input/mmpcapng.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_mmpcapng_t);
    LAYOUT_FIELD(input_mmpcapng_t, _log);
    LAYOUT_FIELD(input_mmpcapng_t, recv);
    LAYOUT_FIELD(input_mmpcapng_t, ctx);
    LAYOUT_FIELD(input_mmpcapng_t, is_swapped);
    LAYOUT_FIELD(input_mmpcapng_t, is_nanosec);
    LAYOUT_FIELD(input_mmpcapng_t, is_broken);
    LAYOUT_FIELD(input_mmpcapng_t, prod_pkt);
    LAYOUT_FIELD(input_mmpcapng_t, fd);
    LAYOUT_FIELD(input_mmpcapng_t, len);
    LAYOUT_FIELD(input_mmpcapng_t, at);
    LAYOUT_FIELD(input_mmpcapng_t, pkts);
    LAYOUT_FIELD(input_mmpcapng_t, map);
    LAYOUT_FIELD(input_mmpcapng_t, version_major);
    LAYOUT_FIELD(input_mmpcapng_t, version_minor);
    LAYOUT_FIELD(input_mmpcapng_t, snaplen);
    LAYOUT_FIELD(input_mmpcapng_t, linktype);
    LAYOUT_FIELD(input_mmpcapng_t, sections);
    LAYOUT_FIELD(input_mmpcapng_t, interfaces);
    LAYOUT_FIELD(input_mmpcapng_t, interface_count);
    LAYOUT_FIELD(input_mmpcapng_t, interface_room);
} LAYOUT_END;
