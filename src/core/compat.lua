module("tarvex.core.compat", package.seeall)

require("tarvex.core.compat_h")
local ffi = require("ffi")

local file_ptr = ffi.typeof("FILE*")

-- A stdio stream for the components: a FILE* cdata as it is, or the stream
-- behind a Lua io file (its userdata starts with the FILE* pointer). A closed
-- Lua file gives a null pointer.
function file_pointer(fp)
    if type(fp) == "cdata" then
        return ffi.cast(file_ptr, fp)
    end
    if io.type(fp) == "file" then
        return ffi.cast("FILE**", fp)[0]
    end
    if io.type(fp) == "closed file" then
        return nil
    end
    error("not a stdio stream: " .. tostring(fp), 2)
end
