#include "output/dnstap.h"

#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_dnstap_t);
    LAYOUT_FIELD(output_dnstap_t, _log);
    LAYOUT_FIELD(output_dnstap_t, writer);
    LAYOUT_FIELD(output_dnstap_t, frames);
    LAYOUT_FIELD(output_dnstap_t, failed);
} LAYOUT_END;
