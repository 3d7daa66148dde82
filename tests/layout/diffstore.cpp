#include "layout.h"
#include "output/diffstore.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_diffstore_counts_t);
    LAYOUT_FIELD(output_diffstore_counts_t, queries);
    LAYOUT_FIELD(output_diffstore_counts_t, stored);
    LAYOUT_FIELD(output_diffstore_counts_t, no_original);
    LAYOUT_FIELD(output_diffstore_counts_t, not_sent);
    LAYOUT_FIELD(output_diffstore_counts_t, over_limit);
    LAYOUT_FIELD(output_diffstore_counts_t, answered);
    LAYOUT_FIELD(output_diffstore_counts_t, timed_out);
    LAYOUT_FIELD(output_diffstore_counts_t, send_failed);
    LAYOUT_FIELD(output_diffstore_counts_t, stray_originals);
    LAYOUT_FIELD(output_diffstore_counts_t, unknown_ordinals);
    LAYOUT_TYPE(output_diffstore_t);
    LAYOUT_FIELD(output_diffstore_t, _log);
    LAYOUT_FIELD(output_diffstore_t, capture_mode);
    LAYOUT_FIELD(output_diffstore_t, dns_port);
    LAYOUT_FIELD(output_diffstore_t, capture_wait_ns);
    LAYOUT_FIELD(output_diffstore_t, max_awaited);
    LAYOUT_FIELD(output_diffstore_t, store_limit);
    LAYOUT_FIELD(output_diffstore_t, full);
    LAYOUT_FIELD(output_diffstore_t, stored_bytes);
    LAYOUT_FIELD(output_diffstore_t, counts);
    LAYOUT_FIELD(output_diffstore_t, writer);
    LAYOUT_FIELD(output_diffstore_t, state);
    LAYOUT_TYPE(output_respdiff_answer_t);
    LAYOUT_FIELD(output_respdiff_answer_t, bytes);
    LAYOUT_FIELD(output_respdiff_answer_t, len);
    LAYOUT_FIELD(output_respdiff_answer_t, time_us);
} LAYOUT_END;
