-- The multi-threaded replay example: every query reaches exactly one worker,
-- all queries of one client reach the same worker, and the totals add up.
-- fixtures: unbound
-- timeout: 120
local tarvex = arg[0]
local source = os.getenv("TEST_SOURCE_DIR")

local function run(args)
    local status = os.execute(tarvex .. " split " .. args .. " >out.txt 2>err.txt")
    local out = assert(io.open("out.txt")):read("*a")
    local err = assert(io.open("err.txt")):read("*a")
    return status, out, err
end

-- Options are checked before any pipeline module is loaded.
local status, out, err = run("-h")
assert(status == 0 and out:find("^usage: [^\n]+ %[options%.%.%.%] %-r FILE\n") and out:find("\n  %-n, %-%-workers N +[^\n]+%[2%]\n"),
    out)
for _, case in ipairs({ { "-n 2", "need a capture" }, { "-r x.pcap -n 0", "--workers needs a whole number" },
    { "-r x.pcap -n 1.5", "--workers needs a whole number" } }) do
    status, _, err = run(case[1])
    assert(status == 256 and err:find(case[2], 1, true), case[1] .. ": " .. err)
end
-- A server no worker could reach fails at once, before any worker starts.
for _, case in ipairs({ { "-r x.pcap -s 127.0.0.1 -p abc", "--port needs a whole number from 0 to 65535" },
    { "-r %s -s no-such-host.invalid", "cannot reach no-such-host.invalid port 53" } }) do
    status, out, err = run(case[1]:format(os.getenv("TEST_BUILD_DIR") .. "/sample/sample.pcap"))
    assert(status == 256 and err:find(case[2], 1, true), case[1] .. ": " .. err)
end

for _, module in ipairs({ "tarvex.input.fpcap", "tarvex.filter.layer", "tarvex.core.channel",
    "tarvex.core.thread", "tarvex.output.udpcli" }) do
    if not pcall(require, module) then
        print("skipped: " .. module .. " is not built in")
        os.exit(77)
    end
end

-- 40 IPv4 and 20 IPv6 clients, 5 queries each, interleaved, and one ARP frame.
local generator = io.open("make.py", "w")
generator:write(string.format([[
import sys
sys.path.insert(0, %q)
from pcapgen import Pcap, ether, ipv4, ipv6, udp, dns_query, ETH_IPV6
cap = Pcap()
for round in range(5):
    for n in range(40):
        cap.add(ether(ipv4(udp(dns_query("q%%d.example" %% n), 10000 + n), "10.0.%%d.%%d" %% (n // 200, n %% 200 + 1))))
    for n in range(20):
        cap.add(ether(ipv6(udp(dns_query("v%%d.example" %% n), 20000 + n), "fd00::%%x" %% (n + 1)), ETH_IPV6))
cap.add(ether(b"\x00" * 28, 0x0806))
cap.write("replay.pcap")
]], source .. "/tests/fixtures"))
generator:close()
assert(os.execute("python3 make.py") == 0, "capture generator failed")

for _, case in ipairs({ { "-r replay.pcap -n 3", { 100, 100, 100 } }, { "-r replay.pcap -n 1", { 300 } },
    { "-r replay.pcap -n 4 -R -S 7", nil } }) do
    local args, expected = case[1], case[2]
    status, out, err = run(args)
    assert(status == 0, args .. ": status " .. status .. ", stderr " .. err)
    local total, seen = 0, 0
    for id, queries in out:gmatch("worker (%d+): (%d+) queries") do
        id, queries = tonumber(id), tonumber(queries)
        seen = seen + 1
        total = total + queries
        -- Every client sends 5 queries, and all of them reach one worker.
        assert(queries % 5 == 0, args .. ": worker " .. id .. " got " .. queries)
        if expected then
            assert(queries == expected[id], args .. ": worker " .. id .. " got " .. queries)
        end
    end
    local workers = tonumber(args:match("-n (%d+)"))
    assert(seen == workers, args .. ": " .. seen .. " worker lines in " .. out)
    assert(total == 300, args .. ": " .. total .. " queries in all")
    assert(out:find("read 301 packets, 1 without IP; reader result 0"), args .. ": " .. out)
end
-- With a server, every worker sends its clients' queries through its own sender.
local port = assert(io.open(os.getenv("TEST_FIXTURE_DIR") .. "/unbound/port")):read("*l")
status, out, err = run("-r replay.pcap -n 2 -s 127.0.0.1 -p " .. port)
assert(status == 0, "with server: status " .. status .. ", stderr " .. err)
local sent = 0
for queries, packets, errors in out:gmatch("worker %d+: (%d+) queries, %d+ bytes, (%d+) sent, (%d+) errors") do
    assert(queries == packets and errors == "0", "with server: " .. out)
    sent = sent + tonumber(packets)
end
assert(sent == 300, "with server: " .. out)
print("split example passes")
