-- Diffstore: every query of a replay with its own answers from two servers,
-- stored in a response-diff writer in the order the queries were read.
--   local ds = Diffstore.new()
--   ds:writer(db)                        -- a tarvex.output.respdiff
--   ds:capture_mode(53, 3)               -- server 0: the capture's own responses (DNS port, wait in seconds)
--   ds:producer(chain)                   -- capture mode: what the replayer reads passes through
--   ds:attach(replayer)                  -- the replayer's outcomes go to the store
--   replayer:input(ds, reader) ... run to the end ...
--   ds:finish()  ds:counts()
module("tarvex.output.diffstore", package.seeall)

require("tarvex.output.diffstore_h")
local ffi = require("ffi")
local C = ffi.C

Diffstore = {}
local meta = { __index = Diffstore }

Diffstore.COUNTERS = { "queries", "stored", "no_original", "not_sent", "over_limit", "stray_originals",
    "unknown_ordinals" }

function Diffstore.new()
    return setmetatable({ obj = ffi.gc(C.output_diffstore_new(), C.output_diffstore_free) }, meta)
end

function Diffstore:log()
    if self == nil or self == Diffstore then
        return C.output_diffstore_log()
    end
    return self.obj._log
end

function Diffstore:writer(respdiff)
    -- Kept: the store writes through the writer's record.
    self._writer = respdiff
    C.output_diffstore_writer(self.obj, respdiff.obj)
end

-- Server 0 is what the capture holds: responses from `port` within `wait`
-- seconds of capture time after their query.
function Diffstore:capture_mode(port, wait)
    self.obj.capture_mode = 1
    self.obj.dns_port = port
    self.obj.capture_wait_ns = wait * 1e9
end

-- Bytes the stored entries may take at most; `full()` tells when reached.
function Diffstore:limit(bytes)
    self.obj.store_limit = bytes
end

function Diffstore:full()
    return self.obj.full ~= 0
end

function Diffstore:producer(chain)
    local produce, ctx = chain:produce()
    self._upstream = chain
    C.output_diffstore_upstream(self.obj, produce, ctx)
end

function Diffstore:produce()
    return C.output_diffstore_producer(self.obj), self.obj
end

function Diffstore:attach(replayer)
    self._replayer = replayer
    replayer:on_done(C.output_diffstore_done, self.obj)
end

function Diffstore:finish()
    C.output_diffstore_finish(self.obj)
end

function Diffstore:pending()
    return tonumber(C.output_diffstore_pending(self.obj))
end

-- The counters by name; answered, timed_out and send_failed as { server 0, server 1 }.
function Diffstore:counts()
    local c = self.obj.counts
    local out = {}
    for _, name in ipairs(Diffstore.COUNTERS) do
        out[name] = tonumber(c[name])
    end
    for _, name in ipairs({ "answered", "timed_out", "send_failed" }) do
        out[name] = { tonumber(c[name][0]), tonumber(c[name][1]) }
    end
    return out
end

return Diffstore
