-- DNS client over UDP: what goes into the datagram per record kind, the
-- wait limit counted in timeouts(), non-blocking receive, and unbound.
-- fixtures: streamsrv unbound_tls
-- timeout: 60
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Dnscli = require("tarvex.output.dnscli")
local check = dnsq.check

local ports = dnsq.ports("streamsrv")

local function connected(mode, port, sec, nsec)
    return dnsq.connected(Dnscli.new(mode), port, sec, nsec)
end

local query = dnsq.query(0x0101, "udp.test")

-- The echo server returns each datagram as it arrived.
do
    local cli, send, produce = connected(Dnscli.UDP, ports["udp.raw"], 2, 0)
    check(cli:nonblocking() == false, "blocking by default")
    send(dnsq.payload(query).obj)
    local got = produce()
    check(got and dnsq.bytes(got) == query, "payload: %s", got and dnsq.hex(dnsq.bytes(got)) or "nil")

    -- A DNS record that includes the field goes out without it.
    send(dnsq.dns(dnsq.frame(query), true).obj)
    got = produce()
    check(got and dnsq.bytes(got) == query, "dns with field: %s", dnsq.hex(dnsq.bytes(got)))
    send(dnsq.dns(query, false).obj)
    got = produce()
    check(got and dnsq.bytes(got) == query, "dns without field: %s", dnsq.hex(dnsq.bytes(got)))

    -- Only the object itself counts: a UDP record over a payload sends nothing,
    -- and so does a DNS record with the field that is shorter than the field.
    local before = cli:packets()
    send(dnsq.record(30, dnsq.payload(query).obj))
    send(dnsq.dns("\0", true).obj)
    check(cli:packets() == before and cli:errors() == 0, "nothing sent or counted")
    check(cli:send(dnsq.record(30)) == -2 and cli:send(dnsq.dns("\0", true)) == -2, "send: not sendable")
    check(cli:packets() == before and cli:errors() == 0 and cli:timeouts() == 0, "counters unchanged")

    -- send() writes the part after `sent` and returns its size.
    check(cli:send(dnsq.payload(query)) == #query, "send whole")
    got = produce()
    check(got and dnsq.bytes(got) == query, "sent by send()")
    check(cli:send(dnsq.dns(dnsq.frame(query), true), 0) == #query, "send of a framed record")
    got = produce()
    check(got and dnsq.bytes(got) == query, "framed record sent without the field")
    check(cli:send(dnsq.payload(query), #query + 1) == -2, "sent past the end")
    check(cli:packets() == 3 and cli:received() == 5, "packets %d received %d", cli:packets(), cli:received())
end

-- A 0.25 s limit with no reply: an empty response after the wait, counted.
do
    local cli, send, produce = connected(Dnscli.UDP, ports["udp.silent"], 0, 250000000)
    send(dnsq.payload(query).obj)
    local started = dnsq.now()
    local got = produce()
    local waited = dnsq.now() - started
    check(got and got.len == 0 and waited >= 0.2, "timeout: len %s after %.3f s", got and tostring(got.len) or "nil",
        waited)
    check(cli:timeouts() == 1 and cli:errors() == 0 and cli:received() == 0, "timeouts %d", cli:timeouts())
    local limit = cli:timeout()
    check(limit.sec == 0 and limit.nsec == 250000000, "timeout() reads the limit back")
end

-- Non-blocking without a limit: an empty response at once.
do
    local cli, send, produce = connected(Dnscli.UDP + Dnscli.NONBLOCKING, ports["udp.silent"])
    check(cli:nonblocking() == true, "non-blocking socket")
    local got = produce()
    check(got and got.len == 0 and cli:timeouts() == 0, "non-blocking: empty at once")
end

-- unbound answers every query; ids and the QR bit read from the bytes.
do
    local unbound = dnsq.ports("unbound_tls")
    local cli, send, produce = connected(Dnscli.UDP, unbound.udp, 2, 0)
    local rcodes = {}
    for id = 1, 50 do
        send(dnsq.payload(dnsq.query(id, id % 2 == 0 and "a.test" or "nothing.test")).obj)
        local got = produce()
        check(got and got.len > 12 and dnsq.id(got) == id and dnsq.qr(got), "answer %d", id)
        local dns = dnsq.parsed(got, false)
        check(dns and dns.id == id and dns.qr == 1 and dns.qdcount == 1, "answer %d parses as DNS", id)
        rcodes[dns.rcode] = (rcodes[dns.rcode] or 0) + 1
    end
    check(rcodes[0] == 25 and rcodes[3] == 25, "NOERROR %s NXDOMAIN %s", tostring(rcodes[0]), tostring(rcodes[3]))
end

print("dnscli udp cases pass")
