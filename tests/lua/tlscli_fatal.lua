-- Every misuse of the TLS sender ends the process with its message.
-- fixtures: streamsrv
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local ports = dnsq.ports("streamsrv")

local prelude = string.format([[
local ffi = require("ffi")
local Tlscli = require("tarvex.output.tlscli")
local echo, cut, refused = "%s", "%s", "%s"
local function cut_off()
    local t = Tlscli.new()
    assert(t:connect("127.0.0.1", cut) == -3)
    return t
end
]], ports["tls.echo"], ports["tls.closenow"], ports.refused)

local O = "output%.tlscli%[0x%x+%] fatal: "
local H = "gnutls_handshake%(%) error: The TLS connection was non%-properly terminated%.\n"
sub.expect_all({
    { "receive before connect", [[Tlscli.new():receive()]], 1, O .. "not connected\n$" },
    { "produce before connect", [[Tlscli.new():produce()]], 1, O .. "not connected\n$" },
    { "receive after a failed handshake", [[cut_off():receive()]], 1, H .. O .. "TLS is not established\n$" },
    { "produce after a failed handshake", [[cut_off():produce()]], 1, H .. O .. "TLS is not established\n$" },
    { "connect after a failed handshake", [[cut_off():connect("127.0.0.1", echo)]], 1,
        H .. O .. "already connected\n$" },
    { "connect after refused", [[local t = Tlscli.new() assert(t:connect("127.0.0.1", refused) == -2)
        t:connect("127.0.0.1", echo)]], 1, "connect%(%) error ECONNREFUSED\n" .. O .. "already connected\n$" },
    { "second connect", [[local t = Tlscli.new() assert(t:connect("127.0.0.1", echo) == 0)
        t:connect("127.0.0.1", echo)]], 1, O .. "already connected\n$" },
    { "host nil", [[Tlscli.new():connect(nil, "853")]], 1, O .. "host is nil\n$" },
    { "port nil", [[Tlscli.new():connect("127.0.0.1", nil)]], 1, O .. "port is nil\n$" },
    { "null self", [[ffi.C.output_tlscli_init(nil)]], 1, "^output%.tlscli fatal: self is nil\n$" },
    { "null self destroy", [[ffi.C.output_tlscli_destroy(nil)]], 1, "^output%.tlscli fatal: self is nil\n$" },
}, prelude)

-- A failed resolution is no connection: connect works afterwards.
local code, out, err = sub.tarvex(prelude .. [[
local t = Tlscli.new()
print(t:connect("no-such-host.invalid", "853"))
print(t:connect("127.0.0.1", echo))
]])
assert(code == 0 and out == "-1\n0\n", "resolution failure then connect: " .. out .. err)
print("tlscli fatal cases pass")
