-- Misuse of the copy and split filters through their classes ends the process with
-- the component's message.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
jit.off()
local ffi = require("ffi")
local Split = require("tarvex.filter.split")
local IpSplit = require("tarvex.filter.ipsplit")
local Copy = require("tarvex.filter.copy")
local cb = ffi.cast("core_receiver_t", function() end)
local sink = { receive = function() return cb, nil end }
local none = { receive = function() return nil, nil end }
]]

local S = "^filter%.split%[0x%x+%] fatal: "
local I = "^filter%.ipsplit%[0x%x+%] fatal: "
local C = "^filter%.copy%[0x%x+%] fatal: "
sub.expect_all({
    { "copy unknown type", [[Copy.new():obj_type(2)]], 1, C .. "unknown type 2\n$" },
    { "copy without receiver", [[local c = Copy.new() c:obj_type(1) c:receive()]], 1, C .. "no receiver%(s%) set\n$" },
    { "copy null object", [[local c = Copy.new() c:receiver(sink) local f, x = c:receive() f(x, nil)]], 1,
        C .. "obj is nil\n$" },
    { "copy null self", [[ffi.C.filter_copy_init(nil)]], 1, "^filter%.copy fatal: self is nil\n$" },
    { "split without receivers", [[Split.new():receive()]], 1, S .. "no receiver%(s%) set\n$" },
    { "split invalid mode", [[local s = Split.new() s:receiver(sink) s.obj.mode = 2 s:receive()]], 1,
        S .. "invalid split mode\n$" },
    { "split null receiver", [[Split.new():receiver(none)]], 1, S .. "recv is nil\n$" },
    { "split null self", [[ffi.C.filter_split_init(nil)]], 1, "^filter%.split fatal: self is nil\n$" },
    { "ipsplit without receivers", [[IpSplit.new():receive()]], 1, I .. "no receiver%(s%) set\n$" },
    { "ipsplit weight 0", [[IpSplit.new():receiver(sink, 0)]], 1, I .. "weight must be positive integer\n$" },
    { "ipsplit weight fraction", [[IpSplit.new():receiver(sink, 1.5)]], 1,
        I .. "weight must be positive integer\n$" },
    { "ipsplit weight negative", [[IpSplit.new():receiver(sink, -1)]], 1,
        I .. "weight must be positive integer\n$" },
    { "ipsplit C weight 0", [[ffi.C.filter_ipsplit_add(IpSplit.new().obj, cb, nil, 0)]], 1,
        I .. "weight must be positive integer\n$" },
    { "ipsplit null receiver", [[IpSplit.new():receiver(none)]], 1, I .. "recv is nil\n$" },
    { "ipsplit null self", [[ffi.C.filter_ipsplit_free(nil)]], 1, "^filter%.ipsplit fatal: self is nil\n$" },
    { "ipsplit invalid mode", [[
        require("tarvex.core.object.ip_h")
        local s = IpSplit.new() s:receiver(sink) s.obj.mode = 7
        local ip = ffi.new("core_object_ip_t") ip.obj_type = 20
        local f, c = s:receive() f(c, ffi.cast("core_object_t*", ip))]], 1, I .. "invalid ipsplit mode\n$" },
}, prelude)

-- A discarded packet is a warning, printed when warnings are on.
local code, _, err = sub.tarvex(prelude .. [[
require("tarvex.core.log").enable("warning")
local s = IpSplit.new() s:receiver(sink)
local f, c = s:receive() f(c, nil)
]])
assert(code == 0, "discard exit " .. code)
assert(err:find("^filter%.ipsplit%[0x%x+%] warning: packet discarded %(missing ip/ip6 object%)\n$"), err)
print("filter fatal cases pass")
