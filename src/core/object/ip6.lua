-- Ip6: the IPv6 header and its extension-header findings (core_object_ip6_t).
module("tarvex.core.object.ip6", package.seeall)

require("tarvex.core.object.ip6_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local IpText = require("tarvex.lib.ip")
local ffi = require("ffi")
local C = ffi.C

Ip6 = {}

function Ip6:type()
    return "ip6"
end

function Ip6:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Ip6:cast()
    return self
end

function Ip6:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Ip6:copy()
    return C.core_object_ip6_copy(self)
end

function Ip6:free()
    C.core_object_ip6_free(self)
end

-- The compressed form when pretty is true, all eight groups otherwise.
function Ip6:source(pretty)
    if self == nil then
        refuse_null("source")
    end
    return IpText.ip6string(self.src, pretty)
end

function Ip6:destination(pretty)
    if self == nil then
        refuse_null("destination")
    end
    return IpText.ip6string(self.dst, pretty)
end

ffi.metatype("core_object_ip6_t", { __index = Ip6 })

return Ip6
