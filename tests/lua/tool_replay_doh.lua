-- tarvex replay over DNS over HTTPS: unbound's DoH answers every query of
-- the capture over POST, GET and h2c, on shared connections and with its
-- stream limit; the scripted HTTP/2 server's reset stream and GOAWAY lose no
-- query (they go again on a new connection), and its wrong status and
-- content type are counted as HTTP errors. respdiff over DoH stores both
-- servers' answers to every query.
-- fixtures: replay unbound_doh h2srv
-- timeout: 200
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local Json = require("tarvex.tools.lib.json")
local check = dnsq.check

local dir = os.getenv("TEST_FIXTURE_DIR")
-- A fixture that could not start (no python3-h2, no unbound with DoH)
-- leaves no port list, and the test is skipped.
local unbound, scripted = dnsq.ports("unbound_doh"), dnsq.ports("h2srv")
local work = os.getenv("TEST_WORK_DIR") or os.tmpname() .. ".d"
os.execute("mkdir -p '" .. work .. "'")
local json_path = work .. "/doh.json"

local function replay(capture, args)
    os.remove(json_path)
    local code, _, err = sub.run(string.format("%s replay -q -r %s/replay/%s --json %s -t doh %s", arg[0], dir,
        capture, json_path, args))
    local file = io.open(json_path, "rb")
    check(file, "%s: no result (exit %d): %s", args, code, err)
    local result = assert(Json.decode(file:read("*a")))
    file:close()
    local q = result.queries
    check(q.answered + q.timed_out + q.not_sent == q.read, "%s: not every query accounted: %s", args, Json.encode(q))
    return code, result, err
end

for _, args in ipairs({
    "-p " .. unbound.doh .. " -c 2",
    "-p " .. unbound.doh .. " -c 2 --doh-get",
    "-p " .. unbound.h2c .. " --h2c -c 1",
    -- More in flight than the server's stream limit on one connection.
    "-p " .. unbound.doh .. " -c 1 -w " .. (tonumber(unbound.streams) * 4),
}) do
    local code, result, err = replay("queries.pcap", args)
    local q = result.queries
    check(code == 0 and q.read == 10000 and q.answered == 10000 and q.unmatched == 0 and q.timed_out == 0,
        "%s: exit %d %s %s", args, code, Json.encode(q), err)
    check(result.rcodes.NOERROR == 6668 and result.rcodes.NXDOMAIN == 3332, "%s: rcodes %s", args,
        Json.encode(result.rcodes))
end

-- The scripted cases, over TLS and h2c: only the two HTTP errors go
-- unanswered. The reset stream is sent again on its connection; whether
-- streams were still open past the GOAWAY (and moved to a new connection,
-- a reconnect) depends on how fast the client is, but none may be lost.
for _, args in ipairs({ "-p " .. scripted.tls .. " -c 1 -w 10 -W 1", "-p " .. scripted.h2c .. " --h2c -c 1 -w 10 -W 1" }) do
    local code, result, err = replay("doh_cases.pcap", args)
    local q = result.queries
    check(code == 0 and q.read == 100 and q.answered == 98 and q.http_errors == 2 and q.resent >= 1,
        "%s: exit %d %s %s", args, code, Json.encode(q), err)
end
-- The same DoH server twice, in respdiff's live mode.
local db = work .. "/doh.db"
os.execute("rm -rf '" .. db .. "'")
local code, out, err = sub.run(string.format("%s respdiff -q -r %s/replay/queries.pcap -o %s -t doh --clients 2 "
    .. "-s 127.0.0.1@%s -s 127.0.0.1@%s", arg[0], dir, db, unbound.doh, unbound.doh))
check(code == 0 and out:find("\nstored 10000 queries, left out 0:") and
    out:find("10000 answered, 0 timed out, 0 send failures; server1 %([^)]+%): 10000 answered, 0 timed out"),
    "respdiff over DoH: exit %d\n%s%s", code, out, err)
print("replay and respdiff over DoH pass")
