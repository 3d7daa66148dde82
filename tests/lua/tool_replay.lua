-- tarvex replay: a generated capture of 10,000 queries (among answers
-- and other datagrams) replayed to unbound over UDP, TCP and TLS gets an
-- answer for every query; paced modes send everything; a server that never
-- answers gives unanswered counts instead of a hang.
-- fixtures: replay unbound_tls streamsrv
-- timeout: 240
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local check = dnsq.check

local example = "replay"
local capture = os.getenv("TEST_FIXTURE_DIR") .. "/replay/queries.pcap"
local unbound = dnsq.ports("unbound_tls")
local scripted = dnsq.ports("streamsrv")

local function replay(args)
    local code, out, err = sub.run(string.format("%s %s -r %s %s", arg[0], example, capture, args))
    check(code == 0, "%s: exit %d, stderr %s", args, code, err)
    return out
end

local SENT = "^read 10250 packets, sent 10000 queries over %s, 0 send errors, 250 not queries\n"
local ALL = "answered 10000, unanswered 0, unmatched answers 0, receive errors 0\n  NOERROR    6668\n  NXDOMAIN   3332\n$"
for _, case in ipairs({ { "udp", unbound.udp }, { "tcp", unbound.tcp }, { "tls", unbound.tls } }) do
    local transport, port = case[1], case[2]
    local out = replay(string.format("-p %s -t %s -a", port, transport))
    check(out:find(SENT:format(transport)) and out:find(ALL), "%s: %s", transport, out)
end

for _, timing in ipairs({ "keep", "fixed -F 0.001", "multiply -M 0.5", "realtime" }) do
    local out = replay(string.format("-p %s -T %s", unbound.udp, timing))
    check(out:find(SENT:format("udp") .. "$"), "%s: %s", timing, out)
end

-- Queries are what went to the DNS port: with another one nothing is sent.
local elsewhere = replay(string.format("-p %s -d 5353", unbound.udp))
check(elsewhere:find("^read 10250 packets, sent 0 queries over udp, 0 send errors, 10250 not queries\n$"),
    "-d 5353: %s", elsewhere)

-- Nobody answers: every query is counted unanswered after the wait.
for _, case in ipairs({ { "udp", scripted["udp.silent"] }, { "tls", scripted["tls.silent"] } }) do
    local out = replay(string.format("-p %s -t %s -a -w 20000 -W 0.3", case[2], case[1]))
    check(out:find("answered 0, unanswered 10000, unmatched answers 0, receive errors 0\n$"), "%s silent: %s", case[1], out)
end

-- A server that drops every query with an even id: the window fills with
-- lost queries again and again, and each wait that ends empty times out
-- the whole window instead of stalling the run.
local lossy = replay(string.format("-p %s -a -w 1000 -W 0.2", scripted["udp.odd"]))
local answered, unanswered = lossy:match("answered (%d+), unanswered (%d+), unmatched answers 0, receive errors 0\n")
check(answered and tonumber(answered) > 0 and tonumber(unanswered) > 0 and
    tonumber(answered) + tonumber(unanswered) == 10000, "lossy server: %s", lossy)

-- A server that sends a short datagram of garbage before every answer: the
-- garbage matches nothing and the answers behind it still count. (Two
-- datagrams per query can overrun the socket's buffer now and then, so a few
-- of each may be lost on the way.)
local noisy = replay(string.format("-p %s -a -W 0.5", scripted["udp.garbage"]))
local good, lost, junk = noisy:match("\nanswered (%d+), unanswered (%d+), unmatched answers (%d+), receive errors 0\n")
check(good and tonumber(good) + tonumber(lost) == 10000 and tonumber(good) >= 9500 and tonumber(junk) >= 9500,
    "garbage: %s", noisy)

-- A server that closes after its first query: the queries that could not
-- go out make the run fail after its summary.
local code, out, err = sub.run(string.format("%s %s -r %s -p %s -t tcp", arg[0], example, capture,
    scripted["tcp.close"]))
check(code == 1 and out:find("^read 10250 packets, sent %d+ queries over tcp, [1-9]%d* send errors") and
    err:find("^tarvex replay: %d+ of 10000 queries could not be sent\n$"), "closing server: %d %s %s", code, out, err)

code, out, err = sub.run(string.format("%s %s -t sctp -r x", arg[0], example))
check(code == 1 and err:find("need a capture"), "bad transport: %d %s", code, err)
code, out = sub.run(string.format("%s %s -h", arg[0], example))
check(code == 0 and out:find("\n  %-t, %-%-transport PROTO +[^\n]+%[udp%]\n") and out:find("\n  %-a, %-%-answers +"), "usage: %s", out)
print("replay example cases pass")
