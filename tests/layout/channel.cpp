#include "core/channel.h"
#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(core_channel_t);
    LAYOUT_FIELD(core_channel_t, _log);
    LAYOUT_FIELD(core_channel_t, ring_buf);
    LAYOUT_FIELD(core_channel_t, ring);
    LAYOUT_FIELD(core_channel_t, closed);
    LAYOUT_FIELD(core_channel_t, capacity);
    LAYOUT_FIELD(core_channel_t, recv);
    LAYOUT_FIELD(core_channel_t, ctx);
} LAYOUT_END;
