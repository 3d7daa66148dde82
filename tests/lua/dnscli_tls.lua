-- DNS client over TLS: framing per record kind inside the session, send()
-- part by part, two frames in one record, a frame in three records with a
-- 1 ms and with no record timeout, a lone length byte across a timed-out
-- read, an idle wait, a handshake the server cuts off, closes, and unbound.
-- fixtures: streamsrv unbound_tls
-- timeout: 60
-- expect-stderr: ^output\.dnscli\[0x[0-9a-f]+\] critical: gnutls_handshake\(\) error: The TLS connection was non-properly terminated\.$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Dnscli = require("tarvex.output.dnscli")
local check = dnsq.check

local ports = dnsq.ports("streamsrv")

local function connected(mode, port, sec, nsec)
    return dnsq.connected(Dnscli.new(mode), port, sec, nsec)
end

local query = dnsq.query(0x2901, "rawecho.tst")
local framed = "\0\29" .. query

do
    local cli, send, produce = connected(Dnscli.TLS + Dnscli.NONBLOCKING, ports["tls.raw"], 2, 0)
    check(cli:nonblocking() == false, "TLS leaves the socket blocking")
    local function echoed()
        local got = produce()
        check(got and got.len > 2 and dnsq.id(got, 0) == got.len - 2, "no echo")
        return dnsq.bytes(got):sub(3)
    end
    send(dnsq.dns(query, false).obj)
    check(echoed() == framed, "DNS record without the field is framed")
    send(dnsq.dns(framed, true).obj)
    check(echoed() == framed, "DNS record with the field goes unchanged")
    send(dnsq.payload(framed).obj)
    check(echoed() == framed, "a payload goes unchanged")
    local dns = dnsq.dns(query, false)
    check(cli:send(dns, 0) == 2 and cli:send(dns, 2) == 29, "send(): field, then message")
    check(echoed() == framed, "pieces make the frame")
    check(cli:packets() == 3 and cli:errors() == 0 and cli:timeouts() == 0, "counters")
end

local produce_until = dnsq.produce_until

do
    local cli, send, produce = connected(Dnscli.TLS, ports["tls.two"], 0, 500000)
    send(dnsq.dns(dnsq.query(100, "two.test")).obj)
    local first = produce_until(produce)
    check(first and dnsq.id(first, 2) == 100, "first of two in one record")
    local second = produce()
    check(second and dnsq.id(second, 2) == 101, "second of two in one record")
end

-- The record timeout bounds each call: with 1 ms the calls before the last
-- record are empty and counted; with no limit one call waits for it all.
do
    local cli, send, produce = connected(Dnscli.TLS, ports["tls.three"], 0, 500000)
    local q = dnsq.query(300, "three.test")
    send(dnsq.dns(q).obj)
    local got, empties = produce_until(produce)
    check(got and got.len == #q + 2 and dnsq.id(got, 2) == 300, "1 ms: whole frame")
    check(empties > 0 and cli:timeouts() == empties and cli:errors() == 0, "1 ms: %d empties, %d timeouts",
        empties, cli:timeouts())

    cli, send, produce = connected(Dnscli.TLS, ports["tls.three"], 0, 0)
    send(dnsq.dns(q).obj)
    got = produce()
    check(got and got.len == #q + 2 and dnsq.id(got, 2) == 300 and cli:timeouts() == 0, "no limit: one call")
end

-- A record timeout right after one length byte keeps the byte, for this
-- blocking client too, and the stream stays in step.
do
    local cli, send, produce = connected(Dnscli.TLS, ports["tls.lone"], 0, 200000000)
    send(dnsq.dns(dnsq.query(400, "lone.test")).obj)
    local got, empties = produce_until(produce)
    check(got and dnsq.id(got, 2) == 400 and dnsq.qr(got, 2) and empties > 0, "lone byte kept")
    send(dnsq.dns(dnsq.query(401, "next.test")).obj)
    got = produce_until(produce)
    check(got and dnsq.id(got, 2) == 401 and cli:errors() == 0, "in step")
end

-- Nothing coming: an empty response once the limit has passed.
do
    local cli, send, produce = connected(Dnscli.TLS, ports["tls.silent"], 0, 250000000)
    send(dnsq.dns(dnsq.query(450, "silent.test")).obj)
    local started = dnsq.now()
    local got = produce()
    local waited = dnsq.now() - started
    check(got and got.len == 0 and waited >= 0.2 and cli:timeouts() == 1, "silent: len %s after %.3f s",
        got and tostring(got.len) or "nil", waited)
end

do
    local cli, send, produce = connected(Dnscli.TLS, ports["tls.partial"], 1, 0)
    send(dnsq.dns(dnsq.query(500, "close.test")).obj)
    check(produce() == nil, "closed inside a frame: nil")
end

do
    local cli = Dnscli.new(Dnscli.TLS)
    check(cli:connect("127.0.0.1", ports["tls.closenow"]) == -3, "handshake cut off gives -3")
end

do
    local unbound = dnsq.ports("unbound_tls")
    local cli, send, produce = connected(Dnscli.TLS, unbound.tls, 5, 0)
    local outstanding = {}
    for id = 1, 300 do
        send(dnsq.dns(dnsq.query(id, id % 2 == 0 and "text.test" or "absent.test")).obj)
        outstanding[id] = true
    end
    for n = 1, 300 do
        local got = produce()
        check(got and got.len > 14, "answer %d missing", n)
        local id = dnsq.id(got, 2)
        check(outstanding[id] and dnsq.qr(got, 2), "answer id %d", id)
        local dns = dnsq.parsed(got, true)
        check(dns and dns.id == id and dns.qr == 1 and dns.dnslen == got.len - 2, "answer %d parses as DNS", id)
        outstanding[id] = nil
    end
    check(cli:packets() == 300 and cli:received() == 300 and cli:errors() == 0, "counters")
end

print("dnscli tls cases pass")
