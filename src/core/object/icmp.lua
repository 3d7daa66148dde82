-- Icmp: the ICMP header (core_object_icmp_t).
module("tarvex.core.object.icmp", package.seeall)

require("tarvex.core.object.icmp_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Icmp = {}

function Icmp:type()
    return "icmp"
end

function Icmp:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Icmp:cast()
    return self
end

function Icmp:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Icmp:copy()
    return C.core_object_icmp_copy(self)
end

function Icmp:free()
    C.core_object_icmp_free(self)
end

ffi.metatype("core_object_icmp_t", { __index = Icmp })

return Icmp
