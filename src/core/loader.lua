-- Loader: opens a shared library found through package.cpath with ffi.load.
module("tarvex.core.loader", package.seeall)

require("tarvex.core.file_h")
local ffi = require("ffi")
local C = ffi.C

Loader = {}

function Loader.load(name, global)
    if global ~= false then
        global = true
    end
    for template in package.cpath:gmatch("[^;]+") do
        local path = template:gsub("%?", function() return name end)
        if C.core_file_exists(path) == 0 then
            return ffi.load(path, global)
        end
    end
    return ffi.load(name)
end

return Loader
