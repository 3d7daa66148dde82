-- TCP sender against the scripted stream server: framing on the wire, two
-- answers in one segment, a frame in three segments, a lone length byte in
-- non-blocking and blocking mode, closes, the blocking switch; then unbound.
-- fixtures: streamsrv unbound_tls
-- timeout: 90
-- expect-stderr: ^output\.tcpcli\[0x[0-9a-f]+\] critical: connect\(\) error ECONNREFUSED$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Tcpcli = require("tarvex.output.tcpcli")
local check = dnsq.check

local ports = dnsq.ports("streamsrv")

local function connected(behaviour, blocking_timeout)
    local sec = blocking_timeout and 0
    return dnsq.connected(Tcpcli.new(), ports["tcp." .. behaviour], sec, blocking_timeout and blocking_timeout * 1e9)
end

local produce_until = dnsq.produce_until

-- A 29-byte query goes out as 0x00 0x1d and the 29 bytes: the server
-- answers with the frame exactly as it arrived.
do
    local tcp, send, produce = connected("raw")
    local query = dnsq.query(0x2901, "rawecho.tst")
    check(#query == 29, "query is %d bytes", #query)
    send(dnsq.payload(query).obj)
    check(tcp:packets() == 1, "packets %d", tcp:packets())
    local got = produce()
    check(got and dnsq.bytes(got) == "\0\29" .. query, "wire %s", got and dnsq.hex(dnsq.bytes(got)) or "nil")
    check(got.len == 31 and tcp:received() == 1, "len %d received %d", tonumber(got.len), tcp:received())

    -- A payload that is already framed gets a second field.
    send(dnsq.payload(dnsq.frame(query)).obj)
    got = produce()
    check(dnsq.bytes(got) == "\0\31\0\29" .. query, "double frame %s", dnsq.hex(dnsq.bytes(got)))

    -- A DNS record over a payload sends the payload; other records send nothing.
    local payload = dnsq.payload(query)
    send(dnsq.record(50, payload.obj))
    got = produce()
    check(dnsq.bytes(got) == "\0\29" .. query, "dns over payload %s", dnsq.hex(dnsq.bytes(got)))
    send(dnsq.record(30))
    send(dnsq.record(1, payload.obj))
    send(dnsq.record(50))
    check(tcp:packets() == 3 and tcp:errors() == 0, "packets %d errors %d", tcp:packets(), tcp:errors())
    check(tcp:nonblocking() == false, "a new socket is blocking")
    check(tcp:nonblocking(true) == 0 and tcp:nonblocking() == true, "switch to non-blocking")
    got = produce()
    check(got and got.len == 0, "nothing sent: empty response at once")
end

-- Two answers in one segment: two produce calls, the second served from
-- what the first read, also when non-blocking.
do
    local tcp, send, produce = connected("two")
    send(dnsq.payload(dnsq.query(100, "two.test")).obj)
    local first = produce()
    check(first and dnsq.id(first) == 100 and dnsq.qr(first), "first answer")
    check(tcp:nonblocking(true) == 0, "non-blocking")
    local second = produce()
    check(second and second.len > 0 and dnsq.id(second) == 101 and dnsq.qr(second), "second answer from the buffer")
    check(tcp:received() == 2, "received %d", tcp:received())
    local none = produce()
    check(none and none.len == 0, "then nothing")
end

-- A frame in three segments: empty responses, then the answer whole.
do
    local tcp, send, produce = connected("three")
    local query = dnsq.query(300, "three.test")
    send(dnsq.payload(query).obj)
    tcp:nonblocking(true)
    local got, empties = produce_until(produce)
    check(got and dnsq.id(got) == 300 and got.len == #query, "three segments: answer of %d bytes",
        got and tonumber(got.len) or -1)
    check(empties > 0, "empty responses before the whole frame")
    -- The connection stays in step: the next answer follows.
    send(dnsq.payload(dnsq.query(301, "next.test")).obj)
    got = produce_until(produce)
    check(got and dnsq.id(got) == 301, "in step after three segments")
end

-- One length byte, a pause, the rest: non-blocking keeps the byte.
do
    local tcp, send, produce = connected("lone")
    send(dnsq.payload(dnsq.query(400, "lone.test")).obj)
    tcp:nonblocking(true)
    local got, empties = produce_until(produce)
    check(got and dnsq.id(got) == 400 and dnsq.qr(got), "lone byte kept: answer %s",
        got and dnsq.hex(dnsq.bytes(got)) or "nil")
    check(empties > 0 and tcp:errors() == 0, "empties %d errors %d", empties, tcp:errors())
    send(dnsq.payload(dnsq.query(401, "next.test")).obj)
    got = produce_until(produce)
    check(got and dnsq.id(got) == 401, "in step after a lone byte")
end

-- A blocking wait that ends while one length byte is held is an error.
do
    local tcp, send, produce = connected("stall", 0.2)
    send(dnsq.payload(dnsq.query(500, "stall.test")).obj)
    local got = produce()
    check(got == nil and tcp:errors() == 1, "stalled field: %s, errors %d", tostring(got), tcp:errors())
end

-- Blocking with nothing coming: an empty response after the timeout.
do
    local tcp, send, produce = connected("silent", 0.2)
    tcp:nonblocking(true)
    tcp:nonblocking(false)
    check(tcp:nonblocking() == false, "blocking again")
    local started = dnsq.now()
    local got = produce()
    local waited = dnsq.now() - started
    check(got and got.len == 0 and waited >= 0.15, "blocking wait: len %s after %.3f s",
        got and tostring(got.len) or "nil", waited)
    check(tcp:errors() == 0, "an empty wait is no error")
end

-- The server closing: null, also in the middle of a frame.
for _, behaviour in ipairs({ "close", "partial" }) do
    local tcp, send, produce = connected(behaviour, 5)
    send(dnsq.payload(dnsq.query(600, "close.test")).obj)
    local got = produce()
    check(got == nil, "%s: closed connection gives nil", behaviour)
end

-- Refused: -2 with the errno name.
do
    local tcp = Tcpcli.new()
    check(tcp:connect("127.0.0.1", ports.refused) == -2, "refused gives -2")
end

-- unbound: a few hundred queries on one connection, every one answered.
do
    local unbound = dnsq.ports("unbound_tls")
    local tcp = Tcpcli.new()
    check(tcp:connect("127.0.0.1", unbound.tcp) == 0, "connect to unbound")
    local send, ctx = tcp:receive()
    local produce, pctx = tcp:produce()
    local names = { "a.test", "www.test", "missing.test", "mail.test" }
    local outstanding, answered = {}, 0
    for id = 1, 400 do
        send(ctx, dnsq.payload(dnsq.query(id, names[id % #names + 1])).obj)
        outstanding[id] = true
    end
    while answered < 400 do
        local got = dnsq.response(produce(pctx))
        check(got and got.len > 0, "answer %d missing", answered + 1)
        local id = dnsq.id(got)
        check(outstanding[id] and dnsq.qr(got), "unexpected answer id %d", id)
        outstanding[id] = nil
        answered = answered + 1
    end
    check(tcp:packets() == 400 and tcp:received() == 400 and tcp:errors() == 0, "counters %d %d %d",
        tcp:packets(), tcp:received(), tcp:errors())
end

print("tcpcli cases pass")
