-- Misuse of the timing filter ends the process with its message.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
local ffi = require("ffi")
local Timing = require("tarvex.filter.timing")
require("tarvex.core.object.pcap_h")
require("tarvex.core.object.payload_h")
local t = Timing.new()
local sink = { fn = ffi.cast("core_receiver_t", function() end) }
function sink:receive() return self.fn, nil end
local pcap = ffi.new("core_object_pcap_t")
pcap.obj_type = 1
]]

local O = "^filter%.timing%[0x%x+%] fatal: "
sub.expect_all({
    { "receive without a receiver", "t:receive()", 1, O .. "no receiver set\n$" },
    { "produce without a producer", "t:produce()", 1, O .. "no producer set\n$" },
    { "not a packet record", [[t:receiver(sink) local r, c = t:receive()
        local p = ffi.new("core_object_payload_t") p.obj_type = 40
        r(c, ffi.cast("core_object_t*", p))]], 1, O .. "obj is not CORE_OBJECT_PCAP\n$" },
    { "invalid mode at the first packet", [[t:receiver(sink) t.obj.mode = 17 local r, c = t:receive()
        io.stdout:write("set ") r(c, ffi.cast("core_object_t*", pcap))]], 1, O .. "invalid timing mode 17\n$" },
    { "realtime drift", [[t:realtime(0, 1) t:receiver(sink) local r, c = t:receive()
        r(c, ffi.cast("core_object_t*", pcap)) r(c, ffi.cast("core_object_t*", pcap))]],
        1, O .. "aborting, real time drifted ahead of simulated time %(0%.000000000s%) by 0%.%d+s\n$" },
    { "realtime before the first packet", [[t:realtime(10, 1) t:receiver(sink) local r, c = t:receive()
        pcap.ts.sec = 10 r(c, ffi.cast("core_object_t*", pcap))
        pcap.ts.sec = 9 r(c, ffi.cast("core_object_t*", pcap))]],
        1, "^filter%.timing fatal: stop time must be after start time\n$" },
    { "null record", "ffi.C.filter_timing_free(nil)", 1, "^filter%.timing fatal: self is nil\n$" },
}, prelude)
print("timing fatal cases pass")
