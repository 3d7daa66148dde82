#include "layout.h"
#include "output/respdiff.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_respdiff_t);
    LAYOUT_FIELD(output_respdiff_t, _log);
    LAYOUT_FIELD(output_respdiff_t, env);
    LAYOUT_FIELD(output_respdiff_t, txn);
    LAYOUT_FIELD(output_respdiff_t, qdb);
    LAYOUT_FIELD(output_respdiff_t, rdb);
    LAYOUT_FIELD(output_respdiff_t, meta);
    LAYOUT_FIELD(output_respdiff_t, id);
    LAYOUT_FIELD(output_respdiff_t, count);
} LAYOUT_END;
