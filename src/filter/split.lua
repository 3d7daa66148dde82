-- Split: passes each object to the next receiver in turn (roundrobin, the
-- default) or to every receiver (sendall).
--   local split = Split.new()
--   split:receiver(a) split:receiver(b)
--   input:receiver(split)
module("tarvex.filter.split", package.seeall)

require("tarvex.filter.split_h")
require("tarvex.core.log")
local ffi = require("ffi")
local C = ffi.C

Split = {}
local meta = { __index = Split }

function Split.new()
    local self = setmetatable({
        obj = ffi.new("filter_split_t"),
        receivers = {},
    }, meta)
    C.filter_split_init(self.obj)
    ffi.gc(self.obj, C.filter_split_destroy)
    return self
end

function Split:log()
    if self == nil or self == Split then
        return C.filter_split_log()
    end
    return self.obj._log
end

function Split:roundrobin()
    self.obj.mode = "FILTER_SPLIT_MODE_ROUNDROBIN"
end

function Split:sendall()
    self.obj.mode = "FILTER_SPLIT_MODE_SENDALL"
end

function Split:receive()
    return C.filter_split_receiver(self.obj), self.obj
end

-- Receivers are kept in `receivers` so that they live as long as the filter.
function Split:receiver(o)
    local recv, ctx = o:receive()
    C.filter_split_add(self.obj, recv, ctx)
    table.insert(self.receivers, o)
end

return Split
