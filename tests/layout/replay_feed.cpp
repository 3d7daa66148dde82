#include "output/replay_feed.h"

#include "layout.h"

LAYOUT_REGISTER {
    LAYOUT_TYPE(output_replay_feed_t);
    LAYOUT_FIELD(output_replay_feed_t, _log);
    LAYOUT_FIELD(output_replay_feed_t, lanes);
    LAYOUT_FIELD(output_replay_feed_t, dns_port);
    LAYOUT_FIELD(output_replay_feed_t, shard_index);
    LAYOUT_FIELD(output_replay_feed_t, shard_count);
    LAYOUT_FIELD(output_replay_feed_t, records);
    LAYOUT_FIELD(output_replay_feed_t, queries);
    LAYOUT_FIELD(output_replay_feed_t, skipped);
    LAYOUT_FIELD(output_replay_feed_t, elsewhere);
    LAYOUT_FIELD(output_replay_feed_t, state);
} LAYOUT_END;
