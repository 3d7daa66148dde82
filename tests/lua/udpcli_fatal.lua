-- Misuse of the UDP sender ends the process with its message.
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local prelude = [[
local Udpcli = require("tarvex.output.udpcli")
local udp = Udpcli.new()
]]

local O = "^output%.udpcli%[0x%x+%] fatal: "
sub.expect_all({
    { "receive before connect", "udp:receive()", 1, O .. "not connected\n$" },
    { "produce before connect", "udp:produce()", 1, O .. "not connected\n$" },
    { "nonblocking before connect", "udp:nonblocking()", 1, O .. "not connected\n$" },
    { "host nil", "udp:connect(nil, '53')", 1, O .. "host is nil\n$" },
    { "port nil", "udp:connect('127.0.0.1', nil)", 1, O .. "port is nil\n$" },
    { "second connect", "assert(udp:connect('127.0.0.1', '53') == 0) udp:connect('127.0.0.1', '53')",
        1, O .. "already connected\n$" },
    { "unresolvable is not fatal", "assert(udp:connect('nonexistent.invalid', '53') == -1)",
        0, O:gsub("fatal", "critical") .. "getaddrinfo%(nonexistent%.invalid, 53%) error .+\n$" },
}, prelude)
print("udpcli fatal cases pass")
