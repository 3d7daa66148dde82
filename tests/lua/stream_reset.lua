-- An answer that arrived just before the server reset the connection is
-- read, by every stream receiver (TCP and TLS senders, the DNS client over
-- TCP and TLS, blocking with a wait limit and non-blocking): the wait sees
-- the data beside the error flags, the read hands out the answer, and the
-- reset ends the stream after it.
-- fixtures: streamsrv
-- timeout: 60
-- expect-stdout: ^stream reset cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Dnscli = require("tarvex.output.dnscli")
local Tcpcli = require("tarvex.output.tcpcli")
local Tlscli = require("tarvex.output.tlscli")
local check = dnsq.check

local ports = dnsq.ports("streamsrv")

local receivers = {
    { "tcp sender", function() return Tcpcli.new() end, "tcp", 0 },
    { "tls sender", function() return Tlscli.new() end, "tls", 0 },
    { "dns client tcp", function() return Dnscli.new(Dnscli.TCP) end, "tcp", 2 },
    { "dns client tls", function() return Dnscli.new(Dnscli.TLS) end, "tls", 2 },
    { "dns client tcp, non-blocking", function() return Dnscli.new(Dnscli.TCP + Dnscli.NONBLOCKING) end, "tcp", 2 },
}

for _, receiver in ipairs(receivers) do
    local name, new, transport, offset = unpack(receiver)
    for round = 1, 5 do
        local cli, send, produce = dnsq.connected(new(), ports[transport .. ".reset"], 2, 0)
        send(dnsq.dns(dnsq.query(700 + round, "reset.test")).obj)
        -- The answer and the reset are both in before the first wait.
        dnsq.sleep(0.2)
        local got = dnsq.produce_until(produce, 5)
        check(got ~= nil, "%s, round %d: the answer before the reset was lost (errors %d)", name, round,
            cli:errors())
        check(dnsq.id(got, offset) == 700 + round and dnsq.qr(got, offset), "%s: answer %s", name,
            dnsq.hex(dnsq.bytes(got)))
        check(cli:received() == 1, "%s: received %d", name, cli:received())
        check(produce() == nil, "%s: the reset ends the stream after the answer", name)
    end
end
print("stream reset cases pass")
