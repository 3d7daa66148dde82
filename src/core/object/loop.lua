-- Loop: the OpenBSD loop header (core_object_loop_t).
module("tarvex.core.object.loop", package.seeall)

require("tarvex.core.object.loop_h")
require("tarvex.core.object")
local ffi = require("ffi")
local C = ffi.C

Loop = {}

function Loop:type()
    return "loop"
end

function Loop:prev()
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
