-- tarvex respdiff: a generated capture of queries and their original
-- responses replayed to unbound over UDP, TCP and TLS gives a database in
-- which every stored query sits with its own original response and an
-- unbound answer with its id; against servers that never answer (or close
-- the connection) the second response is "none", against one that answers
-- only odd ids it is there for exactly those; the metadata is the run's.
-- fixtures: respdiff_capture unbound_tls streamsrv
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local mdb = require("mdb")
local check = dnsq.check

local example = "respdiff"
local fixture = os.getenv("TEST_FIXTURE_DIR") .. "/respdiff_capture/"
local capture = fixture .. "capture.pcap"
local unbound = dnsq.ports("unbound_tls")
local scripted = dnsq.ports("streamsrv")

-- What the generator paired: { query hex, original hex } in capture order.
local expected = {}
local lines = assert(io.open(fixture .. "expected")):lines()
local counts = {}
for name, value in lines():gmatch("(%S+) (%d+)") do
    counts[name] = tonumber(value)
end
for line in lines do
    local query, original = line:match("^(%x+) (%x+)$")
    expected[#expected + 1] = { query = query, original = original }
end
check(#expected == counts.stored and counts.left_out > 0 and counts.unmatched > 0, "fixture: %d", #expected)

local function run(args)
    return sub.run(string.format("%s %s -r %s %s", arg[0], example, capture, args))
end

local function le(hex, at, bytes)
    local value = 0
    for i = bytes - 1, 0, -1 do
        value = value * 256 + tonumber(hex:sub(at + 2 * i, at + 2 * i + 1), 16)
    end
    return value
end

local function key(n)
    return string.format("%02x%02x%02x%02x", n % 256, math.floor(n / 256) % 256, math.floor(n / 65536) % 256, 0)
end

-- The two entries of an "answers" value: { time, bytes hex } each.
local function entries(value)
    local result, at = {}, 1
    for server = 1, 2 do
        local length = le(value, at + 8, 2)
        result[server] = { time = le(value, at, 4), bytes = value:sub(at + 12, at + 11 + 2 * length) }
        at = at + 12 + 2 * length
    end
    check(at == #value + 1, "answers value of %d hex digits does not add up", #value)
    return result
end

-- Whether a query (hex) gets an answer from a server that answers `answered`
-- (true, false or "odd" ids).
local function answers_query(answered, query)
    return answered == true or (answered == "odd" and tonumber(query:sub(1, 4), 16) % 2 == 1)
end

local function unanswered_count(answered)
    local count = 0
    for _, want in ipairs(expected) do
        count = count + (answers_query(answered, want.query) and 0 or 1)
    end
    return count
end

-- Checks one run's database.
local function check_db(dir, answered, names, before, after)
    local queries, keys = mdb.dump(dir, "queries")
    local answers = mdb.dump(dir, "answers")
    check(#keys == #expected, "%s: %d queries stored, expected %d", dir, #keys, #expected)
    for n, want in ipairs(expected) do
        local k = key(n - 1)
        check(queries[k] == want.query, "%s: query %d is %s, expected %s", dir, n - 1, tostring(queries[k]), want.query)
        local got = entries(answers[k])
        check(got[1].time == 1 and got[1].bytes == want.original, "%s: original of %d is %s", dir, n - 1, got[1].bytes)
        if answers_query(answered, want.query) then
            -- The server's answer: the query's id with QR set, and its question.
            local reply = got[2].bytes
            check(got[2].time == 1 and reply:sub(1, 4) == want.query:sub(1, 4), "%s: answer id of %d", dir, n - 1)
            check(tonumber(reply:sub(5, 6), 16) >= 128, "%s: answer %d is no response", dir, n - 1)
            check(reply:sub(25, #want.query) == want.query:sub(25), "%s: answer %d has another question", dir, n - 1)
        else
            check(got[2].time == 0xFFFFFFFF and got[2].bytes == "", "%s: query %d has a second response", dir, n - 1)
        end
    end
    local meta, meta_keys = mdb.dump(dir, "meta")
    check(#meta_keys == 6, "%s: %d meta keys", dir, #meta_keys)
    check(meta[mdb.hex("version")] == mdb.hex("2018-05-21") and meta[mdb.hex("servers")] == "02000000",
        "%s: version or servers", dir)
    check(meta[mdb.hex("name0")] == mdb.hex(names[1]) and meta[mdb.hex("name1")] == mdb.hex(names[2]),
        "%s: names", dir)
    -- Start and end are the replay's wall-clock seconds.
    local start_time, end_time = le(meta[mdb.hex("start_time")], 1, 4), le(meta[mdb.hex("end_time")], 1, 4)
    check(before <= start_time and start_time <= end_time and end_time <= after,
        "%s: times %d..%d outside the run %d..%d", dir, start_time, end_time, before, after)
end

-- The printed summary as a pattern; its captures are the unanswered count and
-- the server's answers that matched no query.
local function summary(transport)
    return "^read 85 packets, replayed " .. counts.queries .. " queries over " .. transport
        .. ", %d+ send errors, %d+ receive errors\nstored " .. counts.stored .. " queries, (%d+) of them without an answer from "
        .. "127%.0%.0%.1 port %d+\nleft out " .. counts.left_out .. " queries without an original response; "
        .. counts.unmatched .. " responses in the capture and (%d+) answers from the server matched no query\n$"
end

-- { transport, port, extra options, answered, names }
local cases = {
    { "udp", unbound.udp, "", true, { "original", "replayed" } },
    { "udp", unbound.udp, "-w 1 -O capture -N unbound", true, { "capture", "unbound" } },
    { "tcp", unbound.tcp, "-w 3", true },
    { "tls", unbound.tls, "", true },
    { "udp", scripted["udp.silent"], "-W 0.2 -w 100", false },
    { "tls", scripted["tls.silent"], "-W 0.2", false },
    { "tcp", scripted["tcp.closenow"], "-W 0.2", false },
    { "udp", scripted["udp.odd"], "-W 0.5 -w 4", "odd" },
    { "udp", scripted["udp.odd"], "-W 0.5", "odd" },
    -- An empty datagram ahead of every answer is no answer and no end.
    { "udp", scripted["udp.empty"], "-W 0.5", true, nil, counts.queries },
}
for n, case in ipairs(cases) do
    local transport, port, extra, answered, names, stray = unpack(case)
    local dir = "db" .. n
    local before = os.time()
    local code, out, err = run(string.format("-o %s -t %s -p %s %s", dir, transport, port, extra))
    local after = os.time()
    -- A server that closes at once may leave queries unsent (writes into a
    -- connection the peer closed can still succeed for a while): when some
    -- are, the run says so and fails.
    local closes = port == scripted["tcp.closenow"]
    check((code == 0 and err == "") or (closes and code == 1 and
        err:find("^tarvex respdiff: %d+ of %d+ queries could not be sent; they are stored without an answer\n$")),
        "%s %s: exit %d, stderr %s", transport, extra, code, err)
    local unanswered, unmatched = out:match(summary(transport))
    check(unanswered and tonumber(unmatched) == (stray or 0), "%s %s: %s", transport, extra, out)
    check(tonumber(unanswered) == unanswered_count(answered), "%s %s: %s unanswered", transport, extra, unanswered)
    check_db(dir, answered, names or { "original", "replayed" }, before, after)
end

-- A directory that already holds a database is refused, since the new
-- run's keys would start again at 0 among the old entries; -f replaces it.
local old_size = #sub.read("db1/data.mdb")
local code, out, err = run(string.format("-o db1 -p %s", unbound.udp))
check(code == 1 and err == "tarvex respdiff: db1 already holds a database (-f replaces it)\n", "rerun: %d %s", code, err)
check(#sub.read("db1/data.mdb") == old_size, "a refused run changed the database")
code, out, err = run(string.format("-o db1 -f -p %s", unbound.udp))
check(code == 0, "rerun with -f: %d %s", code, err)
check_db("db1", true, { "original", "replayed" }, 0, os.time())

-- A map too small for the capture stops the run with the way out, before
-- LMDB would end the process without a word about -m.
-- 3,000 exchanges with 60 answer records each hold some 2.5 MB of answers.
sub.write("big.py", string.format([[
import sys
sys.path.insert(0, %q)
from pcapgen import Pcap, ether, ipv4, udp, dns_query, dns_response
cap = Pcap()
for n in range(3000):
    name = "n%%d.test" %% n
    cap.add(ether(ipv4(udp(dns_query(name, ident=n), 40000, 53), "192.0.2.10", "192.0.2.53")), ts=n * 0.001)
    answers = [("192.0.2.%%d" %% (k + 1), 300) for k in range(60)]
    cap.add(ether(ipv4(udp(dns_response(name, ident=n, answers=answers), 53, 40000), "192.0.2.53", "192.0.2.10")),
            ts=n * 0.001 + 0.0005)
cap.write("big.pcap")
]], os.getenv("TEST_SOURCE_DIR") .. "/tests/fixtures"))
check(os.execute("/usr/bin/python3 big.py") == 0, "big capture")
code, out, err = sub.run(string.format("%s %s -r big.pcap -o small -m 1048576 -p %s", arg[0], example, unbound.udp))
check(code == 1 and err:find("^tarvex respdiff: the database map of 1048576 bytes is too small for this capture after "
    .. "%d+ queries; run again with a larger %-m %(the map is sparse: %-m 4194304 costs nothing until written%)\n$"),
    "small map: %d %s", code, err)
-- Sized from the capture, the same run fits.
code, out, err = sub.run(string.format("%s %s -r big.pcap -o fits -p %s", arg[0], example, unbound.udp))
check(code == 0 and out:find("\nstored 3000 queries, 0 of them without an answer"), "sized map: %d %s %s", code, out, err)

-- { arguments, stderr pattern }; nothing is left behind in "none".
local failures = {
    { "-o none -t sctp", "^tarvex respdiff: unknown transport sctp" },
    { "-o none -W 0", "%-%-wait needs a number of 0%.001 or more\n$" },
    { "-o none -W 1e-12", "%-%-wait needs a number of 0%.001 or more\n$" },
    { "-o none -w 0", "%-%-window needs a whole number of 1 or more\n$" },
    { "-o none -m 0.5", "%-%-mapsize needs a whole number of 262144 or more\n$" },
    { "-o none -m 4096", "%-%-mapsize needs a whole number of 262144 or more\n$" },
    { "-o none -m lots", "%-%-mapsize needs a whole number of 262144 or more\n$" },
    { "-o none -d 5.5", "%-%-dns%-port needs a whole number from 0 to 65535\n$" },
    { "", "need a capture %(%-r FILE%) and a database directory %(%-o DIR%)" },
    { "-o none -t tcp -p " .. scripted.refused, "cannot reach 127%.0%.0%.1 port " .. scripted.refused .. "\n$" },
    { "-o none -z", "unknown option %-z" },
}
for _, case in ipairs(failures) do
    code, out, err = run(case[1])
    check(code == 1 and err:find(case[2]), "%s: exit %d, stderr %s", case[1], code, err)
end
code, out, err = sub.run(string.format("%s %s -r nosuch.pcap -o none", arg[0], example))
check(code == 1 and err == "tarvex respdiff: cannot read nosuch.pcap: No such file or directory\n", "missing capture: %d %s", code, err)
check(not io.open("none/data.mdb"), "a failed run left a database")

code, out = sub.run(string.format("%s %s -h", arg[0], example))
check(code == 0 and out:find("^usage: [^\n]+ %[options%.%.%.%] %-r FILE %-o DIR\n")
    and out:find("\n  %-W, %-%-wait SECONDS +[^\n]+%[2%]\n") and out:find("\n  %-o, %-%-output DIR +[^\n%[]+\n"), "usage: %s", out)
print("respdiff example cases pass")
