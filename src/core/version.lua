-- Version: the libraries tarvex links, each with the version it was built
-- against and the one it runs with, as a list of { name, built, running }.
module("tarvex.core.version", package.seeall)

require("tarvex.core.version_h")
local ffi = require("ffi")
local C = ffi.C

Version = {}

function Version.luajit_built()
    return ffi.string(C.core_version_luajit())
end

function Version.libraries()
    local list = {}
    local index = 0
    while true do
        local name = C.core_version_library(index)
        if name == nil then
            return list
        end
        list[#list + 1] = {
            name = ffi.string(name),
            built = ffi.string(C.core_version_built(index)),
            running = ffi.string(C.core_version_running(index)),
        }
        index = index + 1
    end
end

return Version
