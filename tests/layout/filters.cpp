#include "filter/copy.h"
#include "filter/gapcap.h"
#include "filter/ipsplit.h"
#include "filter/split.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(filter_gapcap_t);
    LAYOUT_FIELD(filter_gapcap_t, _log);
    LAYOUT_FIELD(filter_gapcap_t, recv);
    LAYOUT_FIELD(filter_gapcap_t, recv_ctx);
    LAYOUT_FIELD(filter_gapcap_t, prod);
    LAYOUT_FIELD(filter_gapcap_t, prod_ctx);
    LAYOUT_FIELD(filter_gapcap_t, max_gap);
    LAYOUT_FIELD(filter_gapcap_t, warn_gap);
    LAYOUT_FIELD(filter_gapcap_t, shift_ns);
    LAYOUT_FIELD(filter_gapcap_t, last_ns);
    LAYOUT_FIELD(filter_gapcap_t, have_last);
    LAYOUT_FIELD(filter_gapcap_t, capped);
    LAYOUT_FIELD(filter_gapcap_t, long_gaps);
    LAYOUT_FIELD(filter_gapcap_t, pkt);

    LAYOUT_TYPE(filter_copy_t);
    LAYOUT_FIELD(filter_copy_t, _log);
    LAYOUT_FIELD(filter_copy_t, recv);
    LAYOUT_FIELD(filter_copy_t, recv_ctx);
    LAYOUT_FIELD(filter_copy_t, copy);

    LAYOUT_TYPE(filter_split_mode_t);
    LAYOUT_TYPE(filter_split_recv_t);
    LAYOUT_FIELD(filter_split_recv_t, next);
    LAYOUT_FIELD(filter_split_recv_t, recv);
    LAYOUT_FIELD(filter_split_recv_t, ctx);
    LAYOUT_TYPE(filter_split_t);
    LAYOUT_FIELD(filter_split_t, _log);
    LAYOUT_FIELD(filter_split_t, mode);
    LAYOUT_FIELD(filter_split_t, recv_first);
    LAYOUT_FIELD(filter_split_t, recv);
    LAYOUT_FIELD(filter_split_t, recv_last);

    LAYOUT_TYPE(filter_ipsplit_mode_t);
    LAYOUT_TYPE(filter_ipsplit_overwrite_t);
    LAYOUT_TYPE(filter_ipsplit_recv_t);
    LAYOUT_FIELD(filter_ipsplit_recv_t, next);
    LAYOUT_FIELD(filter_ipsplit_recv_t, recv);
    LAYOUT_FIELD(filter_ipsplit_recv_t, ctx);
    LAYOUT_FIELD(filter_ipsplit_recv_t, n_clients);
    LAYOUT_FIELD(filter_ipsplit_recv_t, weight);
    LAYOUT_TYPE(filter_ipsplit_t);
    LAYOUT_FIELD(filter_ipsplit_t, _log);
    LAYOUT_FIELD(filter_ipsplit_t, mode);
    LAYOUT_FIELD(filter_ipsplit_t, overwrite);
    LAYOUT_FIELD(filter_ipsplit_t, discarded);
    LAYOUT_FIELD(filter_ipsplit_t, recv);
} LAYOUT_END;
