-- Linuxsll: the Linux cooked-capture header (core_object_linuxsll_t).
module("tarvex.core.object.linuxsll", package.seeall)

require("tarvex.core.object.linuxsll_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Linuxsll = {}

function Linuxsll:type()
    return "linuxsll"
end

function Linuxsll:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Linuxsll:cast()
    return self
end

function Linuxsll:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Linuxsll:copy()
    return C.core_object_linuxsll_copy(self)
end

function Linuxsll:free()
    C.core_object_linuxsll_free(self)
end

ffi.metatype("core_object_linuxsll_t", { __index = Linuxsll })

return Linuxsll
