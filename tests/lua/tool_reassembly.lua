-- The tools see DNS over TCP and fragmented datagrams whole: on a capture of
-- split, merged, reordered and retransmitted segments and of fragmented UDP
-- answers, stats counts every message the generator wrote (none malformed,
-- every packet accounted for) and dump prints each one with the id and
-- question it was written with.
-- fixtures: reassembly
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/reassembly/"
local listing = sub.read(dir .. "streams.txt")
if listing == "" then
    print("no reassembly capture (python3-scapy missing)")
    os.exit(77)
end
local want = {}
for id, name in listing:gmatch("0x(%x+) 0x%x+ (%S+) %d+\n") do
    want[#want + 1] = tonumber(id, 16) .. " " .. name .. "."
end

local code, out, err = sub.run(arg[0] .. " stats -n 0 -r " .. dir .. "streams.pcap")
assert(code == 0 and err == "", err)
local tcp_messages = tonumber(out:match("\nreassembled  (%d+) DNS messages from %d+ TCP segments, "))
assert(out:find("\npackets      %d+ read, " .. #want .. " DNS, 0 malformed DNS, 0 other\n") and
    out:find(", " .. tcp_messages .. " over TCP\n", 1, true) and out:find(", [1-9]%d* datagrams from %d+ IP fragments\n") and
    out:find("\ngiven up     TCP: 0 gaps, ", 1, true), out)

code, out, err = sub.run(arg[0] .. " dump " .. dir .. "streams.pcap")
assert(code == 0 and err == "" and not out:find("not a DNS message", 1, true), err)
local got = {}
-- "id:\tN" opens a message; its question reads "\tIN\tA\t<12>q0.<15>example.<23>com."
for id, labels in out:gmatch("id:\t(%d+)\n.-\nquestions:[^\n]*\n\t%S+\t%S+\t([^\n]+)") do
    got[#got + 1] = id .. " " .. labels:gsub("<%d+>", "")
end
table.sort(got)
table.sort(want)
assert(#got == #want, string.format("dump shows %d messages, the capture holds %d", #got, #want))
for n = 1, #want do
    assert(got[n] == want[n], string.format("message %s shown as %s", want[n], got[n]))
end
print("tools see " .. #want .. " messages whole")
