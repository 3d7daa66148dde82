-- Ip: the IPv4 header (core_object_ip_t).
module("tarvex.core.object.ip", package.seeall)

require("tarvex.core.object.ip_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local IpText = require("tarvex.lib.ip")
local ffi = require("ffi")
local C = ffi.C

Ip = {}

function Ip:type()
    return "ip"
end

function Ip:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Ip:cast()
    return self
end

function Ip:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Ip:copy()
    return C.core_object_ip_copy(self)
end

function Ip:free()
    C.core_object_ip_free(self)
end

function Ip:source()
    if self == nil then
        refuse_null("source")
    end
    return IpText.ipstring(self.src)
end

function Ip:destination()
    if self == nil then
        refuse_null("destination")
    end
    return IpText.ipstring(self.dst)
end

ffi.metatype("core_object_ip_t", { __index = Ip })

return Ip
