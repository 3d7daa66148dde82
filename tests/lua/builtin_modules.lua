-- Built-in modules come from the executable, never from the file system, and
-- beat a same-named file on package.path.
os.execute("mkdir -p tarvex/core")
local file = assert(io.open("tarvex/core/log.lua", "w"))
file:write("return 'impostor'\n")
file:close()
package.path = "./?.lua;" .. package.path

local Log = require("tarvex.core.log")
assert(type(Log) == "table" and Log.enable, "the built-in log class")
assert(debug.getinfo(Log.new, "S").source == "@core/log.lua", "chunk name " .. debug.getinfo(Log.new, "S").source)

for _, name in ipairs({ "tarvex.core", "tarvex.lib", "tarvex.input", "tarvex.filter", "tarvex.output",
    "tarvex.core.compat", "tarvex.core.file" }) do
    local module = require(name)
    assert(type(module) == "table", name)
    assert(next(module) == nil or module._NAME == name, name .. " has nothing of its own")
end
