-- Every misuse of the layer decoder ends the process with its message.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
local ffi = require("ffi")
local Layer = require("tarvex.filter.layer")
require("tarvex.core.objects")
local layer = Layer.new()
local sink = ffi.cast("core_receiver_t", function() end)
local pcap = ffi.new("core_object_pcap_t", { obj_type = 1 })
local dns = ffi.new("core_object_t", { obj_type = 50 })
local function as_obj(r) return ffi.cast("core_object_t*", r) end
]]

local O = "filter%.layer%[0x%x+%] fatal: "
sub.expect_all({
    { "produce without producer", [[layer:produce()]], 1, O .. "no producer set\n$" },
    { "push nil", [[local f, c = layer:receive() f(c, nil)]], 1, O .. "obj is nil\n$" },
    { "push nil without receiver too", [[layer.obj.recv = nil local f, c = layer:receive() f(c, nil)]],
        1, O .. "obj is nil\n$" },
    { "push without receiver", [[local f, c = layer:receive() f(c, as_obj(pcap))]], 1, O .. "no receiver set\n$" },
    { "push a dns record", [[layer.obj.recv = sink local f, c = layer:receive() f(c, dns)]],
        1, O .. "obj is not CORE_OBJECT_PCAP\n$" },
    { "push without context", [[local f = layer:receive() f(nil, as_obj(pcap))]],
        1, "^filter%.layer fatal: self is nil\n$" },
    { "init nil", [[ffi.C.filter_layer_init(nil)]], 1, "^filter%.layer fatal: self is nil\n$" },
    { "producer of nil", [[ffi.C.filter_layer_producer(nil)]], 1, "^filter%.layer fatal: self is nil\n$" },
}, prelude)

-- A pull that meets a non-PCAP object ends quietly (null), it is not fatal.
local code, out, err = sub.tarvex(prelude .. [[
local source = { produce = function()
    return ffi.cast("core_producer_t", function() return dns end), nil
end }
layer:producer(source)
local f, c = layer:produce()
assert(f(c) == nil)
print("quiet end")
]])
assert(code == 0 and out == "quiet end\n" and err == "", "non-PCAP pull: " .. code .. " " .. err)
print("layer fatal cases pass")
