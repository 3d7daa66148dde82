#include "layout.h"
#include "lib/histogram.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(lib_histogram_t);
    LAYOUT_FIELD(lib_histogram_t, count);
    LAYOUT_FIELD(lib_histogram_t, min_ns);
    LAYOUT_FIELD(lib_histogram_t, max_ns);
    LAYOUT_FIELD(lib_histogram_t, sum_ns);
    LAYOUT_FIELD(lib_histogram_t, sum_sq_ns);
    LAYOUT_FIELD(lib_histogram_t, buckets);
} LAYOUT_END;
