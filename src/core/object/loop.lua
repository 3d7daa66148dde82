-- Loop: the OpenBSD loop header (core_object_loop_t).
module("tarvex.core.object.loop", package.seeall)

require("tarvex.core.object.loop_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Loop = {}

function Loop:type()
    return "loop"
end

function Loop:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Loop:cast()
    return self
end

function Loop:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Loop:copy()
    return C.core_object_loop_copy(self)
end

function Loop:free()
    C.core_object_loop_free(self)
end

ffi.metatype("core_object_loop_t", { __index = Loop })

return Loop
