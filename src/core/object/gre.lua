-- Gre: the GRE header (core_object_gre_t).
module("tarvex.core.object.gre", package.seeall)

require("tarvex.core.object.gre_h")
local refuse_null = require("tarvex.core.object")._refuse_null
local ffi = require("ffi")
local C = ffi.C

Gre = {}

function Gre:type()
    return "gre"
end

function Gre:prev()
    if self == nil then
        refuse_null("prev")
    end
    return self.obj_prev
end

function Gre:cast()
    return self
end

function Gre:uncast()
    return ffi.cast("core_object_t*", self)
end

-- The copy is not collected: release it with free().
function Gre:copy()
    return C.core_object_gre_copy(self)
end

function Gre:free()
    C.core_object_gre_free(self)
end

ffi.metatype("core_object_gre_t", { __index = Gre })

return Gre
