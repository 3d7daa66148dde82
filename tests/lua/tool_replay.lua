-- tarvex replay against unbound and scripted servers, read back from its
-- JSON result: every query of the capture ends answered, timed out or not
-- sent, over UDP, TCP and TLS, with a socket per client or N shared; same
-- ids from two clients keep their own answers; a server that closes has
-- its unanswered queries sent again on a new connection; silent and lossy
-- servers give timeouts, not a stall.
-- fixtures: replay unbound_tls streamsrv
-- timeout: 280
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local Json = require("tarvex.tools.lib.json")
local check = dnsq.check

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/replay"
local capture = dir .. "/queries.pcap"
local unbound = dnsq.ports("unbound_tls")
local scripted = dnsq.ports("streamsrv")
local work = os.getenv("TEST_WORK_DIR") or os.tmpname() .. ".d"
os.execute("mkdir -p '" .. work .. "'")
local json_path = work .. "/replay.json"

-- Runs the tool; its exit status, the decoded result, stdout and stderr.
local function replay(args, file)
    os.remove(json_path)
    local code, out, err = sub.run(string.format("%s replay -q -r %s --json %s %s", arg[0], file or capture,
        json_path, args))
    local handle = io.open(json_path, "rb")
    local result
    if handle then
        result = assert(Json.decode(handle:read("*a")))
        handle:close()
    end
    return code, result, out, err
end

local function accounted(label, result)
    local q = result.queries
    check(q.answered + q.timed_out + q.not_sent == q.read, "%s: %d answered + %d timed out + %d not sent ~= %d read",
        label, q.answered, q.timed_out, q.not_sent, q.read)
end

-- All of it answered, with unbound's rcodes, each transport and client model.
for _, case in ipairs({
    { "udp", unbound.udp, "" },
    { "udp", unbound.udp, "-c 4" },
    { "tcp", unbound.tcp, "-c 8" },
    { "tls", unbound.tls, "-c 8" },
    -- A connection per client, closed after its one query, so that the
    -- server's connection limit is never reached.
    { "tcp", unbound.tcp, "--queries-per-conn 1 -w 32" },
}) do
    local label = case[1] .. " " .. case[3]
    local code, result, _, err = replay(string.format("-p %s -t %s %s", case[2], case[1], case[3]))
    check(code == 0 and result, "%s: exit %d, %s", label, code, err)
    local q = result.queries
    check(q.read == 10000 and q.sent == 10000 and q.answered == 10000 and q.unmatched == 0, "%s: %s", label,
        Json.encode(q))
    check(result.rcodes.NOERROR == 6668 and result.rcodes.NXDOMAIN == 3332, "%s: rcodes %s", label,
        Json.encode(result.rcodes))
    check(result.latency_us.p50 > 0 and result.latency_us.p99 >= result.latency_us.p50, "%s: latency %s", label,
        Json.encode(result.latency_us))
    accounted(label, result)
end

-- The sockets follow the client model: one per captured client (each
-- query of the capture comes from its own address), or the N given.
local _, per_client = replay(string.format("-p %s", unbound.udp))
check(per_client.sockets.opened == 10000, "per client: %s sockets", tostring(per_client.sockets.opened))
local _, shared = replay(string.format("-p %s -c 3", unbound.udp))
check(shared.sockets.opened == 3, "shared: %s sockets", tostring(shared.sockets.opened))
-- Under a socket limit the longest unused client's idle socket goes to the
-- next new client: no more sockets than the limit, every query answered.
local _, limited = replay(string.format("-p %s --max-sockets 100 -w 50", unbound.udp))
check(limited.queries.answered == 10000 and limited.sockets.opened <= 150 and limited.queries.sockets_evicted > 9000,
    "socket limit: %s sockets, %s", tostring(limited.sockets.opened), Json.encode(limited.queries))

-- Paced modes and a rate send everything.
for _, timing in ipairs({ "-T keep", "-T fixed -F 0.001", "-T multiply -M 0.5", "-T realtime", "-Q 20000" }) do
    local code, result = replay(string.format("-p %s %s", unbound.udp, timing))
    check(code == 0 and result.queries.answered == 10000, "%s: %d %s", timing, code,
        result and Json.encode(result.queries))
end

-- Queries are what went to the DNS port: with another one nothing is read.
local code, elsewhere = replay(string.format("-p %s -d 5353", unbound.udp))
check(code == 0 and elsewhere.queries.read == 0 and elsewhere.queries.sent == 0, "-d 5353: %s",
    Json.encode(elsewhere.queries))

-- Two clients with the same ids: each answer goes to its own client's
-- query; the dropped names time out, none takes another's answer.
local twins = dir .. "/same_id.pcap"
for _, clients in ipairs({ "", "-c 2" }) do
    code, result = replay(string.format("-p %s -W 0.3 %s", scripted["udp.dropsilent"], clients), twins)
    local q = result.queries
    check(code == 0 and q.read == 200 and q.answered == 100 and q.timed_out == 100 and q.unmatched == 0,
        "same ids %s: %s", clients, Json.encode(q))
end

-- Nobody answers: every query times out after the wait, the run goes on.
for _, case in ipairs({ { "udp", scripted["udp.silent"], "" }, { "tls", scripted["tls.silent"], "-c 4" } }) do
    code, result = replay(string.format("-p %s -t %s -w 2000 -W 0.3 %s", case[2], case[1], case[3]))
    check(code == 0 and result.queries.timed_out == 10000 and result.queries.answered == 0, "%s silent: %s", case[1],
        Json.encode(result.queries))
end

-- A server that drops every query with an even id (and, being a small
-- script, may miss a few more when the window is wide).
code, result = replay(string.format("-p %s -w 1000 -W 0.2", scripted["udp.odd"]))
check(code == 0 and result.queries.answered >= 4500 and result.queries.timed_out >= 5000, "lossy: %s",
    Json.encode(result.queries))
accounted("lossy", result)

-- Garbage before every answer matches nothing; the answers still count.
-- (Two datagrams per query may overrun a socket buffer now and then.)
code, result = replay(string.format("-p %s -W 0.5 -c 1", scripted["udp.garbage"]))
check(code == 0 and result.queries.answered >= 9500 and result.queries.unmatched >= 9500, "garbage: %s",
    Json.encode(result.queries))
accounted("garbage", result)

-- Answers far larger than the queries (8 KiB each) fill the socket
-- buffers unless they are read as they come: they always are.
for _, transport in ipairs({ "tcp", "tls" }) do
    code, result = replay(string.format("-p %s -t %s -c 1 -w 500", scripted[transport .. ".big"], transport))
    check(code == 0 and result.queries.answered == 10000, "%s big answers: %s", transport, Json.encode(result.queries))
end

-- Five answers a connection, then a close: the queries in flight on it go
-- once more on a new connection and are answered there.
for _, transport in ipairs({ "tcp", "tls" }) do
    code, result = replay(string.format("-p %s -t %s -c 1 -w 3 -W 1", scripted[transport .. ".five"], transport))
    local q = result.queries
    check(code == 0 and q.answered == 10000 and q.reconnects > 0 and q.resent > 0, "%s five: %s", transport,
        Json.encode(q))
end

-- A server that closes at once, or resets after one answer: nothing is
-- lost from the count, and what could not be sent fails the run.
for _, name in ipairs({ "tcp.close", "tcp.reset", "tls.reset" }) do
    local transport = name:match("^(%a+)")
    local out, err
    code, result, out, err = replay(string.format("-p %s -t %s -c 2 -W 0.5", scripted[name], transport))
    accounted(name, result)
    if result.queries.not_sent > 0 then
        check(code == 1 and err:find("^tarvex replay: %d+ of 10000 queries could not be sent\n$"), "%s: %d %s", name,
            code, err)
    end
    check(out:find("\nanswered +%d+"), "%s: summary %s", name, out)
end

-- A port where nothing listens: every connection fails, nothing waits for good.
code, result = replay(string.format("-p %s -t tcp -c 2 -W 0.3", scripted.refused))
check(code == 1 and result.queries.not_sent == 10000, "refused: %s", Json.encode(result.queries))

code = sub.run(string.format("%s replay -t sctp -r %s", arg[0], capture))
check(code == 1, "bad transport accepted")
local out
code, out = sub.run(string.format("%s replay -h", arg[0]))
check(code == 0 and out:find("\n  %-t, %-%-transport PROTO +[^\n]+%[udp%]\n") and out:find("\n  %-a, %-%-answers +"),
    "usage: %s", out)
print("replay cases pass")
