-- Timing: paces packet records on the monotonic clock for replay.
--   local timing = Timing.new()
--   timing:multiply(0.5)          -- or keep(), increase(ns), reduce(ns), fixed(ns), realtime(drift, batch)
--   timing:receiver(layer)        -- push: input -> timing -> layer
--   input:receiver(timing)
module("tarvex.filter.timing", package.seeall)

require("tarvex.filter.timing_h")
local ffi = require("ffi")
local C = ffi.C

Timing = {}
local meta = { __index = Timing }

function Timing.new()
    local self = setmetatable({
        obj = C.filter_timing_new(),
    }, meta)
    ffi.gc(self.obj, C.filter_timing_free)
    return self
end

function Timing:log()
    if self == nil or self == Timing then
        return C.filter_timing_log()
    end
    return self.obj._log
end

function Timing:keep()
    self.obj.mode = "TIMING_MODE_KEEP"
end

function Timing:increase(ns)
    self.obj.mode = "TIMING_MODE_INCREASE"
    self.obj.inc = ns
end

function Timing:reduce(ns)
    self.obj.mode = "TIMING_MODE_REDUCE"
    self.obj.red = ns
end

function Timing:multiply(factor)
    self.obj.mode = "TIMING_MODE_MULTIPLY"
    self.obj.mul = factor
end

function Timing:fixed(ns)
    self.obj.mode = "TIMING_MODE_FIXED"
    self.obj.fixed = ns
end

-- drift in seconds (default 1), batch_size packets between clock checks (default 128).
function Timing:realtime(drift, batch_size)
    drift = drift or 1
    self.obj.mode = "TIMING_MODE_REALTIME"
    self.obj.rt_batch = batch_size or 128
    self.obj.rt_drift = math.floor(drift * 1000000000)
end

function Timing:receive()
    return C.filter_timing_receiver(self.obj), self.obj
end

function Timing:receiver(o)
    self.obj.recv, self.obj.ctx = o:receive()
    self._receiver = o
end

function Timing:produce()
    return C.filter_timing_producer(self.obj), self.obj
end

function Timing:producer(o)
    self.obj.prod, self.obj.prod_ctx = o:produce()
    self._producer = o
end

return Timing
