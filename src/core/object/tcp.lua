-- Tcp: the TCP header and its option bytes (core_object_tcp_t).
module("tarvex.core.object.tcp", package.seeall)

require("tarvex.core.object.tcp_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Tcp = {}

function Tcp:type()
    return "tcp"
end

function Tcp:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Tcp:cast()
    return self
end

function Tcp:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Tcp:copy()
    return C.core_object_tcp_copy(self)
end

function Tcp:free()
    C.core_object_tcp_free(self)
end

ffi.metatype("core_object_tcp_t", { __index = Tcp })

return Tcp
