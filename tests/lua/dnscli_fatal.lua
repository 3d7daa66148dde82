-- Every misuse of the DNS client ends the process with its message.
-- fixtures: streamsrv
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local ports = dnsq.ports("streamsrv")

local prelude = string.format([[
local ffi = require("ffi")
local Dnscli = require("tarvex.output.dnscli")
local echo, tls_echo, cut, refused = "%s", "%s", "%s", "%s"
]], ports["tcp.echo"], ports["tls.echo"], ports["tls.closenow"], ports.refused)

local O = "output%.dnscli%[0x%x+%] fatal: "
local cases = {
    { "mode 0x40", [[Dnscli.new(0x40)]], 1, O .. "Invalid mode 40\n$" },
    { "mode 0", [[Dnscli.new(0)]], 1, O .. "Invalid mode 0\n$" },
    { "mode options only", [[Dnscli.new(Dnscli.NONBLOCKING)]], 1, O .. "Invalid mode 1\n$" },
    { "accepted modes", [[for _, m in ipairs({ 0x10, 0x11, 0x20, 0x21, 0x30, 0x31 }) do Dnscli.new(m) end]], 0, "^$" },
    { "refused, then connect", [[local c = Dnscli.new(Dnscli.TCP) assert(c:connect("127.0.0.1", refused) == -2)
        c:connect("127.0.0.1", echo)]], 1, "connect%(%) error ECONNREFUSED\n" .. O .. "already connected\n$" },
    { "refused, then receive", [[local c = Dnscli.new(Dnscli.TCP) assert(c:connect("127.0.0.1", refused) == -2)
        c:receive()]], 1, O .. "not connected\n$" },
    { "handshake cut off, then produce", [[local c = Dnscli.new(Dnscli.TLS)
        assert(c:connect("127.0.0.1", cut) == -3) c:produce()]], 1,
        "gnutls_handshake%(%) error: [^\n]*\n" .. O .. "not connected\n$" },
    { "handshake cut off, then connect", [[local c = Dnscli.new(Dnscli.TLS)
        assert(c:connect("127.0.0.1", cut) == -3) c:connect("127.0.0.1", tls_echo)]], 1, O .. "already connected\n$" },
    { "second connect", [[local c = Dnscli.new(Dnscli.UDP) assert(c:connect("127.0.0.1", "53") == 0)
        c:connect("127.0.0.1", "53")]], 1, O .. "already connected\n$" },
    { "host nil", [[Dnscli.new(Dnscli.UDP):connect(nil, "53")]], 1, O .. "host is nil\n$" },
    { "port nil", [[Dnscli.new(Dnscli.TCP):connect("127.0.0.1", nil)]], 1, O .. "port is nil\n$" },
    { "changed mode", [[local c = Dnscli.new(Dnscli.UDP) assert(c:connect("127.0.0.1", "53") == 0)
        c.obj.mode = 0x40 c:receive()]], 1, O .. "internal error\n$" },
    { "changed mode, produce", [[local c = Dnscli.new(Dnscli.UDP) assert(c:connect("127.0.0.1", "53") == 0)
        c.obj.mode = 0x40 c:produce()]], 1, O .. "internal error\n$" },
    { "null self", [[ffi.C.output_dnscli_init(nil, 16)]], 1, "^output%.dnscli fatal: self is nil\n$" },
    { "null self send", [[ffi.C.output_dnscli_send(nil, nil, 0)]], 1, "^output%.dnscli fatal: self is nil\n$" },
}
for _, transport in ipairs({ "UDP", "TCP", "TLS" }) do
    cases[#cases + 1] = { "receive before connect, " .. transport,
        "Dnscli.new(Dnscli." .. transport .. "):receive()", 1, O .. "not connected\n$" }
    cases[#cases + 1] = { "produce before connect, " .. transport,
        "Dnscli.new(Dnscli." .. transport .. "):produce()", 1, O .. "not connected\n$" }
end
sub.expect_all(cases, prelude)

-- Not fatal: send() before connect and on a record of another mode is -2; a
-- failed resolution leaves the record unconnected.
local code, out, err = sub.tarvex(prelude .. [[
local c = Dnscli.new(Dnscli.TLS)
local payload = ffi.new("core_object_payload_t")
payload.obj_type = 40
print(c:send(payload, 0))
print(c:connect("no-such-host.invalid", "853"))
print(c:connect("127.0.0.1", tls_echo))
local u = Dnscli.new(Dnscli.UDP)
assert(u:connect("127.0.0.1", "53") == 0)
u.obj.mode = 0x40
print(u:send(payload, 0))
]])
assert(code == 0 and out == "-2\n-1\n0\n-2\n", "not fatal: " .. out .. err)
assert(err:find("critical: getaddrinfo%(no%-such%-host%.invalid, 853%) error "), err)
print("dnscli fatal cases pass")
