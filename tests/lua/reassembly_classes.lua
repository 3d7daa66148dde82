-- The IpFrag and TcpStream classes: limits and counters through their
-- methods, wiring in both directions, and misuse ending the process with the
-- component's message.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local IpFrag = require("tarvex.filter.ipfrag")
local TcpStream = require("tarvex.filter.tcpstream")

local function check(got, want, what)
    if got ~= want then
        error(string.format("%s: %s, expected %s", what, tostring(got), tostring(want)), 2)
    end
end

local ts = TcpStream.new()
check(ts.obj.max_flows, 16384, "default flow limit")
check(ts.obj.buffer_size, 65537, "default buffer: one message with its length field")
check(ts.obj.port, 53, "default port")
ts:max_flows(10)
ts:buffers(3)
check(ts.obj.max_buffers, 3, "buffer count")
check(ts.obj.buffer_size, 65537, "size kept when not given")
ts:buffers(4, 1024)
check(ts.obj.buffer_size, 1024, "buffer size")
ts:idle_timeout(2.25)
check(tonumber(ts.obj.idle_timeout.sec), 2, "idle seconds")
check(tonumber(ts.obj.idle_timeout.nsec), 250000000, "idle nanoseconds")
ts:port(0)
check(ts.obj.port, 0, "any port")
local counters = ts:counters()
for _, name in ipairs({ "segments", "messages", "gaps", "retransmitted_bytes", "overlap_bytes", "resync_bytes",
    "truncated", "flows_dropped", "buffer_overflows", "idle_expired", "flows" }) do
    check(counters[name], 0, name)
end
check(TcpStream.log() ~= nil, true, "module log")

local frag = IpFrag.new()
check(frag.obj.max_datagrams, 64, "default datagram limit")
frag:max_datagrams(5)
check(frag.obj.max_datagrams, 5, "datagram limit")
frag:timeout(0.5)
check(tonumber(frag.obj.timeout.sec), 0, "timeout seconds")
check(tonumber(frag.obj.timeout.nsec), 500000000, "timeout nanoseconds")
for _, name in ipairs({ "fragments", "datagrams", "timeouts", "overlaps", "overlap_bytes", "duplicates", "tiny",
    "inconsistent", "dropped" }) do
    check(frag:counters()[name], 0, name)
end

local prelude = [[
local ffi = require("ffi")
local IpFrag = require("tarvex.filter.ipfrag")
local TcpStream = require("tarvex.filter.tcpstream")
local cb = ffi.cast("core_receiver_t", function() end)
local sink = { receive = function() return cb, nil end }
]]
local T = "^filter%.tcpstream%[0x%x+%] fatal: "
local F = "^filter%.ipfrag%[0x%x+%] fatal: "
sub.expect_all({
    { "tcpstream without receiver", [[TcpStream.new():receive()]], 1, T .. "no receiver set\n$" },
    { "tcpstream without producer", [[TcpStream.new():produce()]], 1, T .. "no producer set\n$" },
    { "tcpstream no flows", [[TcpStream.new():max_flows(0)]], 1, T .. "max_flows must be positive\n$" },
    { "tcpstream tiny buffers", [[TcpStream.new():buffers(4, 15)]], 1, T .. "buffer size must be at least 16\n$" },
    { "tcpstream null object", [[local t = TcpStream.new() t:receiver(sink) local f, x = t:receive() f(x, nil)]], 1,
        T .. "obj is nil\n$" },
    { "tcpstream null self", [[ffi.C.filter_tcpstream_init(nil)]], 1, "^filter%.tcpstream fatal: self is nil\n$" },
    { "ipfrag without receiver", [[IpFrag.new():receive()]], 1, F .. "no receiver set\n$" },
    { "ipfrag without producer", [[IpFrag.new():produce()]], 1, F .. "no producer set\n$" },
    { "ipfrag no datagrams", [[IpFrag.new():max_datagrams(0)]], 1, F .. "max_datagrams must be positive\n$" },
    { "ipfrag null object", [[local i = IpFrag.new() i:receiver(sink) local f, x = i:receive() f(x, nil)]], 1,
        F .. "obj is nil\n$" },
    { "ipfrag null self", [[ffi.C.filter_ipfrag_destroy(nil)]], 1, "^filter%.ipfrag fatal: self is nil\n$" },
}, prelude)
print("reassembly classes pass")
