-- GapCap: caps the forward gaps between packets in front of the timing
-- filter, and warns of long ones, so that a capture paused for hours replays
-- at once instead of sleeping until killed.
--   local gaps = GapCap.new()
--   gaps:max_gap(1)              -- seconds; 0: no cap (gaps are still warned of)
--   gaps:producer(input)  timing:producer(gaps)    -- or push: input -> gaps -> timing
--   print(gaps:capped(), gaps:long_gaps())
module("tarvex.filter.gapcap", package.seeall)

require("tarvex.filter.gapcap_h")
require("tarvex.core.log")
local ffi = require("ffi")
local C = ffi.C

GapCap = {}
local meta = { __index = GapCap }

function GapCap.new()
    local self = setmetatable({ obj = ffi.new("filter_gapcap_t") }, meta)
    C.filter_gapcap_init(self.obj)
    ffi.gc(self.obj, C.filter_gapcap_destroy)
    return self
end

function GapCap:log()
    if self == nil or self == GapCap then
        return C.filter_gapcap_log()
    end
    return self.obj._log
end

function GapCap:receive()
    return C.filter_gapcap_receiver(self.obj), self.obj
end

function GapCap:receiver(o)
    self.obj.recv, self.obj.recv_ctx = o:receive()
    self._receiver = o
end

function GapCap:produce()
    return C.filter_gapcap_producer(self.obj), self.obj
end

function GapCap:producer(o)
    self.obj.prod, self.obj.prod_ctx = o:produce()
    self._producer = o
end

local function set_span(span, seconds)
    local whole = math.floor(seconds)
    span.sec = whole
    span.nsec = math.floor((seconds - whole) * 1e9 + 0.5)
end

-- The longest gap handed on, in seconds; 0 for none.
function GapCap:max_gap(seconds)
    set_span(self.obj.max_gap, seconds)
end

-- Gaps longer than this (seconds, 60 by default) are logged as warnings.
function GapCap:warn_gap(seconds)
    set_span(self.obj.warn_gap, seconds)
end

function GapCap:capped()
    return tonumber(self.obj.capped)
end

function GapCap:long_gaps()
    return tonumber(self.obj.long_gaps)
end

return GapCap
