-- Every misuse of the TCP sender ends the process with its message.
-- fixtures: streamsrv
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local ports = dnsq.ports("streamsrv")

local prelude = string.format([[
local ffi = require("ffi")
local Tcpcli = require("tarvex.output.tcpcli")
local echo, refused = "%s", "%s"
]], ports["tcp.echo"], ports.refused)

local O = "output%.tcpcli%[0x%x+%] fatal: "
sub.expect_all({
    { "receive before connect", [[Tcpcli.new():receive()]], 1, O .. "not connected\n$" },
    { "produce before connect", [[Tcpcli.new():produce()]], 1, O .. "not connected\n$" },
    { "nonblocking before connect", [[Tcpcli.new():nonblocking()]], 1, O .. "not connected\n$" },
    { "switch before connect", [[Tcpcli.new():nonblocking(true)]], 1, O .. "not connected\n$" },
    { "host nil", [[Tcpcli.new():connect(nil, "53")]], 1, O .. "host is nil\n$" },
    { "port nil", [[Tcpcli.new():connect("127.0.0.1", nil)]], 1, O .. "port is nil\n$" },
    { "second connect", [[local t = Tcpcli.new() assert(t:connect("127.0.0.1", echo) == 0)
        t:connect("127.0.0.1", echo)]], 1, O .. "already connected\n$" },
    { "connect after refused", [[local t = Tcpcli.new() assert(t:connect("127.0.0.1", refused) == -2)
        t:connect("127.0.0.1", echo)]], 1, "connect%(%) error ECONNREFUSED\n" .. O .. "already connected\n$" },
    { "null self", [[ffi.C.output_tcpcli_init(nil)]], 1, "^output%.tcpcli fatal: self is nil\n$" },
    { "null self connect", [[ffi.C.output_tcpcli_connect(nil, "a", "b")]], 1, "^output%.tcpcli fatal: self is nil\n$" },
}, prelude)

-- A failed resolution is no connection: connect works afterwards.
local code, out, err = sub.tarvex(prelude .. [[
local t = Tcpcli.new()
print(t:connect("no-such-host.invalid", "53"))
print(t:connect("127.0.0.1", echo))
]])
assert(code == 0 and out == "-1\n0\n", "resolution failure then connect: " .. out .. err)
assert(err:find("critical: getaddrinfo%(no%-such%-host%.invalid, 53%) error "), err)
print("tcpcli fatal cases pass")
