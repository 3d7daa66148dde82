-- DoH client against unbound: over POST and GET, with TLS and with h2c, the
-- answers are those unbound gives over UDP; hundreds of queries on one
-- connection stay within the server's stream limit and reach it; the
-- certificate check passes with the right CA and name and refuses otherwise.
-- fixtures: unbound_doh
-- timeout: 90
-- expect-stderr: ^output\.dohcli\[0x[0-9a-f]+\] critical: certificate refused: The certificate is NOT trusted
-- expect-stdout: ^dohcli unbound cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local dnsq = require("dnsq")
local Dnscli = require("tarvex.output.dnscli")
local Dohcli = require("tarvex.output.dohcli")
local check = dnsq.check

local ports = dnsq.ports("unbound_doh")
local ca = os.getenv("TEST_FIXTURE_DIR") .. "/unbound_doh/server.pem"

local QUESTIONS = {
    { "a.test", 1 }, { "www.test", 1 }, { "www.test", 28 }, { "mail.test", 15 }, { "text.test", 16 },
    { "absent.test", 1 }, { "test", 6 },
}

-- Pushes every query, then pulls until each id is answered once: answers by id.
local function exchange(cli, queries)
    local send, ctx = cli:receive()
    for _, query in ipairs(queries) do
        send(ctx, dnsq.payload(query).obj)
    end
    local produce, pctx = cli:produce()
    local answers, count = {}, 0
    while count < #queries do
        local got = dnsq.response(produce(pctx))
        check(got, "connection ended after %d of %d answers", count, #queries)
        check(got.len > 0, "no answer within the limit after %d of %d", count, #queries)
        local id = dnsq.id(got)
        check(answers[id] == nil, "answer %d twice", id)
        answers[id] = dnsq.bytes(got)
        count = count + 1
    end
    return answers
end

local function queries_for(first_id, repeat_count)
    local queries = {}
    for n = 0, repeat_count * #QUESTIONS - 1 do
        local question = QUESTIONS[n % #QUESTIONS + 1]
        queries[#queries + 1] = dnsq.query(first_id + n, question[1], question[2])
    end
    return queries
end

local reference = queries_for(1000, 1)
local over_udp = exchange(dnsq.connected(Dnscli.new(Dnscli.UDP), ports.udp, 2, 0), reference)

local function doh(method, h2c, setup)
    local cli = Dohcli.new()
    cli:method(method)
    cli:h2c(h2c)
    cli:timeout(5, 0)
    if setup then
        setup(cli)
    end
    check(cli:connect("127.0.0.1", h2c and ports.h2c or ports.doh) == 0, "connect %s", method)
    return cli
end

for _, method in ipairs({ "POST", "GET" }) do
    for _, h2c in ipairs({ false, true }) do
        local cli = doh(method, h2c)
        local answers = exchange(cli, reference)
        for id, udp in pairs(over_udp) do
            check(answers[id] == udp, "%s%s: answer %d differs from UDP:\n%s\n%s", method, h2c and " h2c" or "", id,
                dnsq.hex(answers[id] or ""), dnsq.hex(udp))
        end
        check(cli:packets() == #reference and cli:received() == #reference and cli:errors() == 0
            and cli:connects() == 1, "%s counters", method)
    end
end

-- More queries than the server allows streams: they queue behind its limit.
do
    local limit = tonumber(ports.streams)
    local cli = doh("POST", false)
    local queries = queries_for(1, 60)
    local answers = exchange(cli, queries)
    check(cli:max_streams() == limit, "server limit %d, saw %d", limit, cli:max_streams())
    check(cli:peak() == limit, "peak %d streams, limit %d", cli:peak(), limit)
    check(cli:connects() == 1 and cli:resets() == 0 and cli:refused() == 0 and cli:gone() == 0
        and cli:lost() == 0 and cli:errors() == 0, "one clean connection")
    for n, query in ipairs(queries) do
        check(answers[dnsq.id(dnsq.payload(query).rec)], "query %d unanswered", n)
    end
    check(cli:in_flight() == 0, "nothing left in flight")
end

-- Checked certificates: the CA made for the test under the name it carries,
-- and under its IP address; the system store does not know it.
do
    for _, name in ipairs({ "localhost", "127.0.0.1" }) do
        local cli = doh("GET", false, function(cli)
            cli:verify(true)
            cli:ca(ca)
            cli:server_name(name)
        end)
        local answers = exchange(cli, { reference[1] })
        check(answers[1000] == over_udp[1000], "verified answer as %s", name)
    end
    -- The handshake may fail inside connect or once the query waits on it.
    local cli = Dohcli.new()
    cli:timeout(5, 0)
    cli:verify(true)
    cli:server_name("localhost")
    local connected = cli:connect("127.0.0.1", ports.doh)
    if connected == 0 then
        local send, ctx = cli:receive()
        send(ctx, dnsq.payload(reference[1]).obj)
        local produce, pctx = cli:produce()
        check(produce(pctx) == nil, "unverified server: no answer, the connection ends")
        -- One new connection is tried for the query; when the first
        -- handshake ends before the query is handed over, that try may be
        -- the only one.
        check(cli:errors() >= 1 and cli:received() == 0 and cli:connects() >= 1 and cli:connects() <= 2,
            "the query is not sent, counted: %d errors, %d received, %d connects", cli:errors(), cli:received(),
            cli:connects())
    else
        check(connected == -3, "unverified server: connect gives %d", connected)
    end
end

print("dohcli unbound cases pass")
