-- Ieee802: one IEEE 802.1Q / 802.1ad VLAN tag (core_object_ieee802_t).
module("tarvex.core.object.ieee802", package.seeall)

require("tarvex.core.object.ieee802_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Ieee802 = {}

function Ieee802:type()
    return "ieee802"
end

function Ieee802:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Ieee802:cast()
    return self
end

function Ieee802:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Ieee802:copy()
    return C.core_object_ieee802_copy(self)
end

function Ieee802:free()
    C.core_object_ieee802_free(self)
end

ffi.metatype("core_object_ieee802_t", { __index = Ieee802 })

return Ieee802
