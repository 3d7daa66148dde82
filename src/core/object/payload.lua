-- Payload: the bytes the top decoded layer carries (core_object_payload_t).
module("tarvex.core.object.payload", package.seeall)

require("tarvex.core.object.payload_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Payload = {}

function Payload:type()
    return "payload"
end

function Payload:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Payload:cast()
    return self
end

function Payload:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Payload:copy()
    return C.core_object_payload_copy(self)
end

function Payload:free()
    C.core_object_payload_free(self)
end

ffi.metatype("core_object_payload_t", { __index = Payload })

return Payload
