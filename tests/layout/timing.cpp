#include "filter/timing.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(filter_timing_t);
    LAYOUT_FIELD(filter_timing_t, _log);
    LAYOUT_FIELD(filter_timing_t, recv);
    LAYOUT_FIELD(filter_timing_t, ctx);
    LAYOUT_FIELD(filter_timing_t, mode);
    LAYOUT_FIELD(filter_timing_t, inc);
    LAYOUT_FIELD(filter_timing_t, red);
    LAYOUT_FIELD(filter_timing_t, fixed);
    LAYOUT_FIELD(filter_timing_t, rt_batch);
    LAYOUT_FIELD(filter_timing_t, mul);
    LAYOUT_FIELD(filter_timing_t, rt_drift);
    LAYOUT_FIELD(filter_timing_t, prod);
    LAYOUT_FIELD(filter_timing_t, prod_ctx);
} LAYOUT_END;
