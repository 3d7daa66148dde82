-- Replay feed: one reader's queries spread by client over the lanes of
-- several replay workers, each lane a channel of copied queries.
--   local feed = Feed.new(2, 4096)           -- lanes, queries a lane holds
--   feed:port(53)  feed:shard(0, 1)
--   feed:input(chain, reader)                -- as a replayer takes one
--   local status = feed:pump(0.005)          -- "full", "ended" or "running"
--   feed:close()                             -- the lanes end once drained
--   worker: rp:feed(feed, k)                 -- lane k (from 1) as its input
module("tarvex.output.replay_feed", package.seeall)

require("tarvex.output.replay_feed_h")
local ffi = require("ffi")
local C = ffi.C

Feed = {}
local meta = { __index = Feed }

local statuses = {
    [tonumber(C.OUTPUT_REPLAY_FEED_FULL)] = "full", [tonumber(C.OUTPUT_REPLAY_FEED_ENDED)] = "ended",
    [tonumber(C.OUTPUT_REPLAY_FEED_RUNNING)] = "running",
}

function Feed.new(lanes, capacity)
    return setmetatable({ obj = ffi.gc(C.output_replay_feed_new(lanes, capacity), C.output_replay_feed_free) }, meta)
end

-- For Thread:push: the worker's state gets the same record, which this
-- state keeps and frees.
function Feed:share()
    return self.obj, "output_replay_feed_t*", "tarvex.output.replay_feed_h"
end

function Feed.wrap(record)
    return setmetatable({ obj = record }, meta)
end

function Feed:log()
    if self == nil or self == Feed then
        return C.output_replay_feed_log()
    end
    return self.obj._log
end

function Feed:port(port)
    self.obj.dns_port = port
end

function Feed:shard(index, count)
    C.output_replay_feed_shard(self.obj, index, count)
end

function Feed:input(chain, reader)
    if chain == nil then
        self._input = nil
        C.output_replay_feed_input(self.obj, nil, nil, nil)
        return
    end
    local produce, ctx = chain:produce()
    -- Kept alive while fed from: the feed holds raw pointers into them.
    self._input = { chain, reader }
    C.output_replay_feed_input(self.obj, produce, ctx, require("tarvex.output.replayer").packet_count(reader.obj))
end

function Feed:pump(seconds)
    return statuses[tonumber(C.output_replay_feed_pump(self.obj, seconds * 1e9))]
end

function Feed:close()
    C.output_replay_feed_close(self.obj)
end

-- Lane `index` (from 1): its producer, its context and its waiting flag.
function Feed:lane(index)
    local lane = C.output_replay_feed_lane(self.obj, index - 1)
    return C.output_replay_feed_producer(), lane, C.output_replay_feed_waiting(lane)
end

-- What the feed counted: records read, queries handed out, records that are
-- not queries, queries of other hosts' shards.
function Feed:counts()
    local o = self.obj
    return { records = tonumber(o.records), queries = tonumber(o.queries), skipped = tonumber(o.skipped),
        elsewhere = tonumber(o.elsewhere) }
end

return Feed
