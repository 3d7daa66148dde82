-- A capture cut inside a record: every tool that reads it still does its
-- job up to the cut and prints its summary, then says so in one line and
-- exits 1 (stats reports it as a note in its table instead).
-- fixtures: replay streamsrv
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local scripted = dnsq.ports("streamsrv")

-- The replay fixture cut 10 bytes into its 101st record.
local whole = sub.read(os.getenv("TEST_FIXTURE_DIR") .. "/replay/queries.pcap")
local at = 24
for _ = 1, 100 do
    at = at + 16 + whole:byte(at + 9) + whole:byte(at + 10) * 256 + whole:byte(at + 11) * 65536
end
sub.write("cut.pcap", whole:sub(1, at + 10))

-- { arguments, stdout pattern, stderr line }
for _, case in ipairs({
    { "dump cut.pcap", "^packet 1 at ", "the capture ends inside a record; shown up to there" },
    { "split -r cut.pcap -n 2", "\nread 100 packets, ", "the capture ends inside a record; split up to there" },
    { "replay -q -W 0.2 -r cut.pcap -p " .. scripted["udp.raw"], "^read +%d+\nsent ",
        "the capture ends inside a record; replayed up to there" },
    -- Several threads take the queries from one reader, which meets the cut.
    { "replay -q -W 0.2 -n 2 -r cut.pcap -p " .. scripted["udp.raw"], "^read +%d+\nsent ",
        "the capture ends inside a record; replayed up to there" },
    { "respdiff -r cut.pcap -o db -W 0.2 -p " .. scripted["udp.raw"], "^read 100 packets, ",
        "the capture ends inside a record; stored up to there" },
}) do
    local code, out, err = sub.run(arg[0] .. " " .. case[1])
    local tool = case[1]:match("^%S+")
    assert(code == 1 and out:find(case[2]) and err:find("\ntarvex " .. tool .. ": " .. case[3]:gsub("%p", "%%%0") ..
        "\n$") or err == "tarvex " .. tool .. ": " .. case[3] .. "\n",
        string.format("%s: exit %d\n%s%s", case[1], code, out:sub(1, 300), err))
end

local code, out = sub.run(arg[0] .. " stats -r cut.pcap")
assert(code == 0 and out:find("\nnote         the capture ends inside a record\n", 1, true), out)
print("cut capture cases pass")
