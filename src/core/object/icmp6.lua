-- Icmp6: the ICMPv6 header (core_object_icmp6_t).
module("tarvex.core.object.icmp6", package.seeall)

require("tarvex.core.object.icmp6_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Icmp6 = {}

function Icmp6:type()
    return "icmp6"
end

function Icmp6:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Icmp6:cast()
    return self
end

function Icmp6:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Icmp6:copy()
    return C.core_object_icmp6_copy(self)
end

function Icmp6:free()
    C.core_object_icmp6_free(self)
end

ffi.metatype("core_object_icmp6_t", { __index = Icmp6 })

return Icmp6
