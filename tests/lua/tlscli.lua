-- TLS sender: DNS over TLS to unbound, and against the scripted server the
-- framing on the wire, two answers in one record, a frame in three records
-- with 1 ms, 200 ms and no record timeout, a lone length byte across a
-- timed-out read, closes, and a handshake the server cuts off.
-- fixtures: streamsrv unbound_tls
-- timeout: 90
-- expect-stderr: ^output\.tlscli\[0x[0-9a-f]+\] critical: gnutls_handshake\(\) error: The TLS connection was non-properly terminated\.$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Tlscli = require("tarvex.output.tlscli")
local check = dnsq.check

local ports = dnsq.ports("streamsrv")

local function connected(port, sec, nsec)
    return dnsq.connected(Tlscli.new(), port, sec, nsec)
end

local produce_until = dnsq.produce_until

-- The 29-byte query inside the session is 0x00 0x1d and the 29 bytes.
do
    local tls, send, produce = connected(ports["tls.raw"])
    local query = dnsq.query(0x2901, "rawecho.tst")
    send(dnsq.payload(query).obj)
    local got = produce()
    check(got and dnsq.bytes(got) == "\0\29" .. query, "wire %s", got and dnsq.hex(dnsq.bytes(got)) or "nil")
    send(dnsq.record(30))
    check(tls:packets() == 1 and tls:received() == 1 and tls:errors() == 0, "counters")
end

-- Two answers in one record: the second produce call is served from the buffer.
do
    local tls, send, produce = connected(ports["tls.two"], 0, 500000)
    send(dnsq.payload(dnsq.query(100, "two.test")).obj)
    local first = produce_until(produce)
    check(dnsq.id(first) == 100 and dnsq.qr(first), "first answer")
    local second = produce()
    check(second and second.len > 0 and dnsq.id(second) == 101, "second answer without reading")
    local none = produce()
    check(none and none.len == 0, "1 ms record timeout: an idle read is empty")
end

-- A frame in three records: with 1 ms the calls before the last are empty;
-- with no limit the first call waits for the whole answer.
do
    local tls, send, produce = connected(ports["tls.three"], 0, 500000)
    local query = dnsq.query(300, "three.test")
    send(dnsq.payload(query).obj)
    local got, empties = produce_until(produce)
    check(got and dnsq.id(got) == 300 and got.len == #query and empties > 0, "1 ms: %d empties", empties)

    tls, send, produce = connected(ports["tls.three"], 0, 0)
    send(dnsq.payload(query).obj)
    got = produce()
    check(got and got.len == #query and dnsq.id(got) == 300, "no limit: the whole answer in one call")
end

-- A read that times out after one length byte keeps the byte: the answer
-- comes whole on a later call and the stream stays in step.
do
    local tls, send, produce = connected(ports["tls.lone"], 0, 200000000)
    send(dnsq.payload(dnsq.query(400, "lone.test")).obj)
    local got, empties = produce_until(produce)
    check(empties > 0, "the pause after the lone byte gives an empty response")
    check(got and dnsq.id(got) == 400 and dnsq.qr(got), "lone byte kept: %s",
        got and dnsq.hex(dnsq.bytes(got)) or "nil")
    send(dnsq.payload(dnsq.query(401, "next.test")).obj)
    got = produce_until(produce)
    check(got and dnsq.id(got) == 401 and tls:errors() == 0, "in step after a lone byte")
end

-- The server ending the connection: null, before or inside a frame.
for _, behaviour in ipairs({ "close", "partial" }) do
    local tls, send, produce = connected(ports["tls." .. behaviour], 5, 0)
    send(dnsq.payload(dnsq.query(600, "close.test")).obj)
    check(produce() == nil, "%s: nil", behaviour)
end

-- A server that closes during the handshake: -3.
do
    local tls = Tlscli.new()
    check(tls:connect("127.0.0.1", ports["tls.closenow"]) == -3, "handshake cut off gives -3")
end

-- unbound: queries on one session, every one answered; then the initial
-- 5 s record timeout on the idle session.
do
    local unbound = dnsq.ports("unbound_tls")
    local tls, send, produce = connected(unbound.tls)
    local names = { "a.test", "www.test", "missing.test", "text.test" }
    local outstanding = {}
    for id = 1, 300 do
        send(dnsq.payload(dnsq.query(id, names[id % #names + 1])).obj)
        outstanding[id] = true
    end
    for n = 1, 300 do
        local got = produce()
        check(got and got.len > 0, "answer %d missing", n)
        local id = dnsq.id(got)
        check(outstanding[id] and dnsq.qr(got), "unexpected answer id %d", id)
        outstanding[id] = nil
    end
    check(tls:packets() == 300 and tls:received() == 300 and tls:errors() == 0, "counters")
    local started = dnsq.now()
    local got = produce()
    local waited = dnsq.now() - started
    check(got and got.len == 0 and waited >= 4.5, "idle: len %s after %.2f s", got and tostring(got.len) or "nil",
        waited)
end

print("tlscli cases pass")
