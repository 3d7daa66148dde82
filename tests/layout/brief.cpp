#include "output/brief.h"

#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_brief_t);
    LAYOUT_FIELD(output_brief_t, _log);
    LAYOUT_FIELD(output_brief_t, fd);
    LAYOUT_FIELD(output_brief_t, own_fd);
    LAYOUT_FIELD(output_brief_t, port);
    LAYOUT_FIELD(output_brief_t, failed);
    LAYOUT_FIELD(output_brief_t, lines);
    LAYOUT_FIELD(output_brief_t, buf);
    LAYOUT_FIELD(output_brief_t, used);
    LAYOUT_FIELD(output_brief_t, stamp_sec);
    LAYOUT_FIELD(output_brief_t, stamp);
} LAYOUT_END;
