#include "input/dnstap.h"

#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(input_dnstap_t);
    LAYOUT_FIELD(input_dnstap_t, _log);
    LAYOUT_FIELD(input_dnstap_t, recv);
    LAYOUT_FIELD(input_dnstap_t, ctx);
    LAYOUT_FIELD(input_dnstap_t, is_broken);
    LAYOUT_FIELD(input_dnstap_t, compression);
    LAYOUT_FIELD(input_dnstap_t, comp_ctx);
    LAYOUT_FIELD(input_dnstap_t, in);
    LAYOUT_FIELD(input_dnstap_t, out);
    LAYOUT_FIELD(input_dnstap_t, in_size);
    LAYOUT_FIELD(input_dnstap_t, out_size);
    LAYOUT_FIELD(input_dnstap_t, in_have);
    LAYOUT_FIELD(input_dnstap_t, out_have);
    LAYOUT_FIELD(input_dnstap_t, in_at);
    LAYOUT_FIELD(input_dnstap_t, out_at);
    LAYOUT_FIELD(input_dnstap_t, file);
    LAYOUT_FIELD(input_dnstap_t, extern_file);
    LAYOUT_FIELD(input_dnstap_t, use_fadvise);
    LAYOUT_FIELD(input_dnstap_t, snaplen);
    LAYOUT_FIELD(input_dnstap_t, linktype);
    LAYOUT_FIELD(input_dnstap_t, pkts);
    LAYOUT_FIELD(input_dnstap_t, skipped);
    LAYOUT_FIELD(input_dnstap_t, buf);
    LAYOUT_FIELD(input_dnstap_t, state);
    LAYOUT_FIELD(input_dnstap_t, prod_pkt);
    LAYOUT_FIELD(input_dnstap_t, prod_tap);
    LAYOUT_FIELD(input_dnstap_t, top);
    LAYOUT_FIELD(input_dnstap_t, stage_recv);
    LAYOUT_FIELD(input_dnstap_t, stage_ctx);
    LAYOUT_FIELD(input_dnstap_t, stage_prod);
    LAYOUT_FIELD(input_dnstap_t, stage_prod_ctx);
} LAYOUT_END;
