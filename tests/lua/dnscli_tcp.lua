-- DNS client over TCP: the length field per record kind, send() part by
-- part, responses with their field, two frames in one segment, a frame in
-- three segments, a lone length byte, non-blocking empty vs closed, unbound.
-- fixtures: streamsrv unbound_tls
-- timeout: 60
-- expect-stderr: ^output\.dnscli\[0x[0-9a-f]+\] critical: connect\(\) error ECONNREFUSED$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Dnscli = require("tarvex.output.dnscli")
local check = dnsq.check

local ports = dnsq.ports("streamsrv")

local function connected(mode, behaviour, sec, nsec)
    return dnsq.connected(Dnscli.new(mode), ports["tcp." .. behaviour], sec, nsec)
end

local produce_until = dnsq.produce_until

local query = dnsq.query(0x2901, "rawecho.tst")
check(#query == 29, "query is %d bytes", #query)
local framed = "\0\29" .. query

-- What arrives, per record kind: the raw server answers with the frame it
-- read, so a response is field + (field + query).
do
    local cli, send, produce = connected(Dnscli.TCP, "raw", 2, 0)
    local function echoed()
        local got = produce()
        check(got and got.len > 2, "no echo")
        check(dnsq.id(got, 0) == got.len - 2, "response keeps its field")
        return dnsq.bytes(got):sub(3)
    end
    send(dnsq.dns(query, false).obj)
    check(echoed() == framed, "DNS record without the field is framed")
    send(dnsq.dns(framed, true).obj)
    check(echoed() == framed, "DNS record with the field goes unchanged")
    send(dnsq.payload(framed).obj)
    check(echoed() == framed, "a payload goes unchanged")
    send(dnsq.record(30, dnsq.payload(framed).obj))
    check(cli:packets() == 3 and cli:received() == 3 and cli:errors() == 0, "counters")

    -- send(): the two field bytes count in `sent`; sent = 1 writes the second.
    local dns = dnsq.dns(query, false)
    check(cli:send(dnsq.payload("\0")) == 1, "first field byte by hand")
    check(cli:send(dns, 1) == 1, "sent = 1 writes one byte")
    check(cli:send(dns, 2) == 29, "then the message")
    check(cli:send(dns, 31) == 0, "nothing left")
    check(echoed() == framed, "pieces make the frame")
    check(cli:send(dns, 0) == 2 and cli:send(dns, 2) == 29, "field, then message")
    check(echoed() == framed, "field then message")
    check(cli:send(dnsq.record(1)) == -2 and cli:send(dns, 32) == -2, "not sendable")
    check(cli:packets() == 3 and cli:errors() == 0, "send() changes no counter")
end

-- Two frames in one segment; the second comes from the buffer, also when
-- the first was exactly the data read before it.
do
    local cli, send, produce = connected(Dnscli.TCP, "two", 2, 0)
    send(dnsq.dns(dnsq.query(100, "two.test")).obj)
    local first = produce()
    check(first and dnsq.id(first, 2) == 100 and dnsq.qr(first, 2), "first")
    local second = produce()
    check(second and second.len > 2 and dnsq.id(second, 2) == 101, "second")
    check(cli:received() == 2 and cli:timeouts() == 0, "received %d", cli:received())
end

-- A frame in three segments: non-blocking calls return empty until it is whole.
do
    local cli, send, produce = connected(Dnscli.TCP + Dnscli.NONBLOCKING, "three")
    check(cli:nonblocking(), "non-blocking socket")
    local q = dnsq.query(300, "three.test")
    send(dnsq.dns(q).obj)
    local got, empties = produce_until(produce)
    check(got and got.len == #q + 2 and dnsq.id(got, 2) == 300 and empties > 0, "three segments, %d empties",
        empties)
end

-- Blocking with a limit: the wait is repeated until the frame is whole.
do
    local cli, send, produce = connected(Dnscli.TCP, "three", 2, 0)
    local q = dnsq.query(301, "three.test")
    send(dnsq.dns(q).obj)
    local got = produce()
    check(got and got.len == #q + 2 and dnsq.id(got, 2) == 301, "blocking: whole in one call")
end

-- A lone length byte: non-blocking keeps it; a blocking wait that runs out
-- while it is held is an error.
do
    local cli, send, produce = connected(Dnscli.TCP + Dnscli.NONBLOCKING, "lone", 0, 100000000)
    send(dnsq.dns(dnsq.query(400, "lone.test")).obj)
    local got, empties = produce_until(produce)
    check(got and dnsq.id(got, 2) == 400 and dnsq.qr(got, 2) and empties > 0, "lone byte kept")
    check(cli:errors() == 0 and cli:timeouts() > 0, "errors %d timeouts %d", cli:errors(), cli:timeouts())
    send(dnsq.dns(dnsq.query(401, "next.test")).obj)
    got = produce_until(produce)
    check(got and dnsq.id(got, 2) == 401, "in step")

    cli, send, produce = connected(Dnscli.TCP, "stall", 0, 200000000)
    send(dnsq.dns(dnsq.query(402, "stall.test")).obj)
    got = produce()
    check(got == nil and cli:errors() == 1 and cli:timeouts() == 1, "stalled field: error")
end

-- Non-blocking: empty while nothing is there, null once the server closed.
do
    local cli, send, produce = connected(Dnscli.TCP + Dnscli.NONBLOCKING, "close")
    local got = produce()
    check(got and got.len == 0, "nothing there: empty")
    send(dnsq.dns(dnsq.query(500, "close.test")).obj)
    got = produce_until(produce)
    check(got == nil and cli:errors() == 0, "closed: nil")
end

-- Refused: -2.
do
    local cli = Dnscli.new(Dnscli.TCP)
    check(cli:connect("127.0.0.1", ports.refused) == -2, "refused gives -2")
end

-- unbound: pipelined queries on one connection, every one answered.
do
    local unbound = dnsq.ports("unbound_tls")
    local cli = Dnscli.new(Dnscli.TCP)
    cli:timeout(5, 0)
    check(cli:connect("127.0.0.1", unbound.tcp) == 0, "connect to unbound")
    local send, ctx = cli:receive()
    local produce, pctx = cli:produce()
    local outstanding = {}
    for id = 1, 300 do
        send(ctx, dnsq.dns(dnsq.query(id, id % 3 == 0 and "www.test" or "gone.test")).obj)
        outstanding[id] = true
    end
    for n = 1, 300 do
        local got = dnsq.response(produce(pctx))
        check(got and got.len > 14, "answer %d missing", n)
        local id = dnsq.id(got, 2)
        check(outstanding[id] and dnsq.qr(got, 2) and dnsq.id(got, 0) == got.len - 2, "answer id %d", id)
        local dns = dnsq.parsed(got, true)
        check(dns and dns.id == id and dns.qr == 1 and dns.dnslen == got.len - 2 and dns.qdcount == 1,
            "answer %d parses as DNS with its length field", id)
        outstanding[id] = nil
    end
    check(cli:packets() == 300 and cli:received() == 300 and cli:errors() == 0, "counters")
end

print("dnscli tcp cases pass")
