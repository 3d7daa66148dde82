module("tarvex.core.compat", package.seeall)

require("tarvex.core.compat_h")
local ffi = require("ffi")

local file_ptr = ffi.typeof("FILE*")

-- A stdio stream for the components: a FILE* cdata as it is, or the stream
-- of a Lua io file (the FFI converts an io handle to its FILE*). A closed
-- Lua file gives a null pointer.
function file_pointer(fp)
    if type(fp) == "cdata" or io.type(fp) == "file" then
        return ffi.cast(file_ptr, fp)
    end
    if io.type(fp) == "closed file" then
        return nil
    end
    error("not a stdio stream: " .. tostring(fp), 2)
end
