#include "filter/layer.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(filter_layer_t);
    LAYOUT_FIELD(filter_layer_t, _log);
    LAYOUT_FIELD(filter_layer_t, recv);
    LAYOUT_FIELD(filter_layer_t, ctx);
    LAYOUT_FIELD(filter_layer_t, prod);
    LAYOUT_FIELD(filter_layer_t, prod_ctx);
    LAYOUT_FIELD(filter_layer_t, produced);
    LAYOUT_FIELD(filter_layer_t, null);
    LAYOUT_FIELD(filter_layer_t, ether);
    LAYOUT_FIELD(filter_layer_t, loop);
    LAYOUT_FIELD(filter_layer_t, linuxsll);
    LAYOUT_FIELD(filter_layer_t, n_ieee802);
    LAYOUT_FIELD(filter_layer_t, ieee802);
    LAYOUT_FIELD(filter_layer_t, ip);
    LAYOUT_FIELD(filter_layer_t, ip6);
    LAYOUT_FIELD(filter_layer_t, gre);
    LAYOUT_FIELD(filter_layer_t, icmp);
    LAYOUT_FIELD(filter_layer_t, icmp6);
    LAYOUT_FIELD(filter_layer_t, udp);
    LAYOUT_FIELD(filter_layer_t, tcp);
    LAYOUT_FIELD(filter_layer_t, payload);
} LAYOUT_END;
