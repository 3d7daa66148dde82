-- IpSplit: gives each client (IP or IPv6 source address) to one receiver,
-- by weight in turn (sequential, the default) or at random, and numbers
-- the clients of each receiver from 1.
--   local ipsplit = IpSplit.new()
--   ipsplit:receiver(a, 2) ipsplit:receiver(b)
--   ipsplit:random(42) ipsplit:overwrite_src()
--   layer:receiver(ipsplit)
module("tarvex.filter.ipsplit", package.seeall)

require("tarvex.filter.ipsplit_h")
require("tarvex.core.log")
local ffi = require("ffi")
local C = ffi.C

IpSplit = {}
local meta = { __index = IpSplit }

function IpSplit.new()
    local self = setmetatable({
        obj = ffi.gc(C.filter_ipsplit_new(), C.filter_ipsplit_free),
        receivers = {},
    }, meta)
    return self
end

function IpSplit:log()
    if self == nil or self == IpSplit then
        return C.filter_ipsplit_log()
    end
    return self.obj._log
end

function IpSplit:receive()
    return C.filter_ipsplit_receiver(self.obj), self.obj
end

-- Receivers are kept in `receivers` so that they live as long as the filter.
function IpSplit:receiver(o, weight)
    weight = weight or 1
    -- A fraction or a negative number would be silently changed on its way
    -- to the unsigned weight.
    if type(weight) ~= "number" or weight < 1 or weight % 1 ~= 0 or weight > 4294967295 then
        self.obj._log:fatal("weight must be positive integer")
    end
    local recv, ctx = o:receive()
    C.filter_ipsplit_add(self.obj, recv, ctx, weight)
    table.insert(self.receivers, o)
end

function IpSplit:discarded()
    return tonumber(self.obj.discarded)
end

function IpSplit:sequential()
    self.obj.mode = "IPSPLIT_MODE_SEQUENTIAL"
end

function IpSplit:random(seed)
    self.obj.mode = "IPSPLIT_MODE_RANDOM"
    if seed ~= nil then
        C.filter_ipsplit_srand(seed)
    end
end

function IpSplit:overwrite_none()
    self.obj.overwrite = "IPSPLIT_OVERWRITE_NONE"
end

function IpSplit:overwrite_src()
    self.obj.overwrite = "IPSPLIT_OVERWRITE_SRC"
end

function IpSplit:overwrite_dst()
    self.obj.overwrite = "IPSPLIT_OVERWRITE_DST"
end

return IpSplit
