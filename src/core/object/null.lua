-- Null: the BSD null loopback header (core_object_null_t).
module("tarvex.core.object.null", package.seeall)

require("tarvex.core.object.null_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Null = {}

function Null:type()
    return "null"
end

function Null:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Null:cast()
    return self
end

function Null:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Null:copy()
    return C.core_object_null_copy(self)
end

function Null:free()
    C.core_object_null_free(self)
end

ffi.metatype("core_object_null_t", { __index = Null })

return Null
