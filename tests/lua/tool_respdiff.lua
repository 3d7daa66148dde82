-- tarvex respdiff: every stored pair is the right pair. Read back the way
-- respdiff reads it (python3-lmdb, dnspython), each entry is checked against
-- what its server was told to answer: two unbound instances with different
-- local data (answers that differ, NXDOMAIN on one side, a name one drops,
-- one it refuses) in live mode over UDP, TCP and TLS; the capture's own
-- responses (same ids from two clients, TCP answers split over segments)
-- beside a replayed server in capture mode; the scripted server that answers
-- five queries a connection then closes, or answers and resets, or drops
-- silent-N names (same ids from two clients). Timeouts are 0xFFFFFFFF with
-- length 0, times are real, meta names are read by position.
-- fixtures: respdiff_capture respdiff_live replay unbound_pair streamsrv
-- timeout: 240
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local mdb = require("mdb")
local check = dnsq.check

local example = "respdiff"
local fixtures = os.getenv("TEST_FIXTURE_DIR") .. "/"
local capture = fixtures .. "respdiff_capture/capture.pcap"
local expected = fixtures .. "respdiff_capture/expected"
local live = fixtures .. "respdiff_live/live.pcap"
local same_id = fixtures .. "replay/same_id.pcap"
local pair = { a = dnsq.ports("unbound_pair/a"), b = dnsq.ports("unbound_pair/b") }
local scripted = dnsq.ports("streamsrv")
local checker = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/respdiff_check.py"

local probe = sub.run("/usr/bin/python3 -c 'import lmdb, dns.message'")
if probe ~= 0 then
    print("python3-lmdb or python3-dnspython is missing (scripts/install-deps.sh installs them)")
    os.exit(77)
end

local counts = {}
for name, value in io.open(expected):read("*l"):gmatch("(%S+) (%d+)") do
    counts[name] = tonumber(value)
end

local function run(args)
    return sub.run(string.format("%s %s -q %s", arg[0], example, args))
end

-- The summary's figures by name.
local function figures(out)
    local read, queries = out:match("^read (%d+) packets, (%d+) queries, replayed over ")
    local stored, left, no_original, not_sent = out:match("\nstored (%d+) queries, left out (%d+): (%d+) without an "
        .. "original response, (%d+) not sent to every server\n")
    local stray, unmatched, reconnects = out:match("\nunmatched: (%d+) responses in the capture, (%d+) answers "
        .. "from the servers; (%d+) reconnects, %d+ queries sent again\n$")
    return { queries = tonumber(queries), stored = tonumber(stored), left = tonumber(left),
        no_original = tonumber(no_original), not_sent = tonumber(not_sent), stray = tonumber(stray),
        unmatched = tonumber(unmatched), reconnects = tonumber(reconnects), read = tonumber(read) }
end

-- { what, arguments, server kinds, names, stored count, extra checker options, may fail to send }
local cases = {}
for _, t in ipairs({ "udp", "tcp", "tls" }) do
    -- One query in flight on a stream: unbound closes a connection on a
    -- query it denies, and pipelined queries behind it would go unanswered.
    local window = t == "udp" and "" or "-w 1"
    cases[#cases + 1] = { "live " .. t, string.format("-r %s -t %s -s 127.0.0.1@%s -s 127.0.0.1:%s -W 0.5 -O ua "
        .. "-N ub %s", live, t, pair.a[t], pair.b[t], window), { "a", "b" }, { "ua", "ub" }, 280 }
    cases[#cases + 1] = { "capture " .. t, string.format("-r %s -t %s -p %s -W 0.5 %s", capture, t, pair.b[t],
        window), { "capture", "b" }, { "original", "replayed" }, counts.stored }
end
-- One query in flight: a connection that ends takes at most one unanswered
-- query with it, sent again once on the next (pipelined ones could end on a
-- second closing connection too, and be timed out).
for _, t in ipairs({ "tcp", "tls" }) do
    cases[#cases + 1] = { "five " .. t, string.format("-r %s -t %s -s 127.0.0.1@%s -s 127.0.0.1@%s -W 0.5 -w 1",
        live, t, scripted[t .. ".five"], pair.a[t]), { "echo", "a" }, { "server0", "server1" }, 280 }
    cases[#cases + 1] = { "reset " .. t, string.format("-r %s -t %s -p %s -W 0.5 -w 1 -O cap -N reset", capture, t,
        scripted[t .. ".reset"]), { "capture", "echo" }, { "cap", "reset" }, counts.stored }
end
cases[#cases + 1] = { "same ids udp", string.format("-r %s -s 127.0.0.1@%s -s 127.0.0.1@%s -W 0.3", same_id,
    scripted["udp.dropsilent"], pair.a.udp), { "echo", "a" }, { "server0", "server1" }, 200 }
cases[#cases + 1] = { "closes at once", string.format("-r %s -t tcp -p %s -W 0.3", capture,
    scripted["tcp.closenow"]), { "capture", "none" }, { "original", "replayed" }, nil, true }

for n, case in ipairs(cases) do
    local what, args, kinds, names, count, may_fail = unpack(case)
    local dir = "db" .. n
    local code, out, err = run(string.format("-o %s %s", dir, args))
    local f = figures(out)
    check(f.stored and f.stray and f.queries == f.stored + f.left, "%s: summary %s", what, out)
    if may_fail and f.not_sent > 0 then
        -- Queries that never reached the server are left out, and the run fails.
        check(code == 1 and err == string.format("tarvex respdiff: %d of %d queries could not be sent to every "
            .. "server; they are left out\n", f.not_sent, f.queries), "%s: exit %d, %s", what, code, err)
    else
        check(code == 0 and err == "", "%s: exit %d, stderr %s", what, code, err)
    end
    if kinds[1] == "capture" then
        check(f.stray == counts.unmatched and f.no_original == counts.left_out, "%s: %s", what, out)
        count = count or counts.stored - f.not_sent
    end
    check(f.stored == count, "%s: stored %d, expected %d", what, f.stored, count)
    local ok, verdict = sub.run(string.format("/usr/bin/python3 %s %s %s %s %s %s --count %d --expected %s --wait 0.5",
        checker, dir, names[1], kinds[1], names[2], kinds[2], count, expected))
    check(ok == 0, "%s: %s", what, verdict)
end

-- The run's wall-clock start and end times are in the metadata.
local before = os.time()
local code, out, err = run(string.format("-o times -r %s -p %s", capture, pair.a.udp))
local after = os.time()
check(code == 0, "times: %d %s", code, err)
local meta = mdb.dump("times", "meta")
local function le32(hex)
    local value = 0
    for i = 3, 0, -1 do
        value = value * 256 + tonumber(hex:sub(2 * i + 1, 2 * i + 2), 16)
    end
    return value
end
local start_time, end_time = le32(meta[mdb.hex("start_time")]), le32(meta[mdb.hex("end_time")])
check(before <= start_time and start_time <= end_time and end_time <= after,
    "times %d..%d outside the run %d..%d", start_time, end_time, before, after)

-- A directory that already holds a database is refused, since the new
-- run's keys would start again at 0 among the old entries; -f replaces it.
local old_size = #sub.read("db1/data.mdb")
code, out, err = run(string.format("-r %s -o db1 -p %s", capture, pair.a.udp))
check(code == 1 and err == "tarvex respdiff: db1 already holds a database (-f replaces it)\n", "rerun: %d %s", code, err)
check(#sub.read("db1/data.mdb") == old_size, "a refused run changed the database")
code, out, err = run(string.format("-r %s -o db1 -f -p %s", capture, pair.a.udp))
check(code == 0, "rerun with -f: %d %s", code, err)
check(sub.run(string.format("/usr/bin/python3 %s db1 original capture replayed a --count %d --expected %s",
    checker, counts.stored, expected)) == 0, "the replaced database")

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
code, out, err = sub.run(string.format("%s %s -r big.pcap -o small -m 1048576 -p %s", arg[0], example, pair.a.udp))
check(code == 1 and err:find("^tarvex respdiff: the database map of 1048576 bytes is too small for this capture after "
    .. "%d+ queries; run again with a larger %-m %(the map is sparse: %-m 4194304 costs nothing until written%)\n$"),
    "small map: %d %s", code, err)
-- Sized from the capture, the same run fits.
code, out, err = sub.run(string.format("%s %s -r big.pcap -o fits -p %s", arg[0], example, pair.a.udp))
check(code == 0 and out:find("\nstored 3000 queries, left out 0:"), "sized map: %d %s %s", code, out, err)

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
    { "-o none -s a -s b -s c", "a database holds two servers: give %-s once %(capture mode%) or twice %(live mode%)\n$" },
    { "-o none -s 127.0.0.1@" .. pair.a.tcp .. " -s 127.0.0.1@" .. scripted.refused .. " -t tcp",
        "cannot reach 127%.0%.0%.1 port " .. scripted.refused .. "\n$" },
}
for _, case in ipairs(failures) do
    code, out, err = run("-r " .. capture .. " " .. case[1])
    check(code == 1 and err:find(case[2]), "%s: exit %d, stderr %s", case[1], code, err)
end
code, out, err = sub.run(string.format("%s %s -r nosuch.pcap -o none", arg[0], example))
check(code == 1 and err == "tarvex respdiff: cannot read nosuch.pcap: No such file or directory\n", "missing capture: %d %s", code, err)
check(not io.open("none/data.mdb"), "a failed run left a database")

code, out = sub.run(string.format("%s %s -h", arg[0], example))
check(code == 0 and out:find("^usage: [^\n]+ %[options%.%.%.%] %-r FILE %-o DIR\n")
    and out:find("\n  %-W, %-%-wait SECONDS +[^\n]+%[2%]\n") and out:find("\n  %-o, %-%-output DIR +[^\n%[]+\n"), "usage: %s", out)
print("respdiff example cases pass")
