-- Ether: the Ethernet II header (core_object_ether_t).
module("tarvex.core.object.ether", package.seeall)

require("tarvex.core.object.ether_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Ether = {}

function Ether:type()
    return "ether"
end

function Ether:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Ether:cast()
    return self
end

function Ether:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Ether:copy()
    return C.core_object_ether_copy(self)
end

function Ether:free()
    C.core_object_ether_free(self)
end

ffi.metatype("core_object_ether_t", { __index = Ether })

return Ether
