-- Udp: the UDP header (core_object_udp_t).
module("tarvex.core.object.udp", package.seeall)

require("tarvex.core.object.udp_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Udp = {}

function Udp:type()
    return "udp"
end

function Udp:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Udp:cast()
    return self
end

function Udp:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Udp:copy()
    return C.core_object_udp_copy(self)
end

function Udp:free()
    C.core_object_udp_free(self)
end

ffi.metatype("core_object_udp_t", { __index = Udp })

return Udp
