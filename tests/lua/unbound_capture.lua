-- tcpdump's capture of a real unbound over a link with an MTU of 1280: TCP
-- answers cut into many segments by unbound's tcp-mss, four pipelined
-- queries in one segment, UDP answers in IP fragments. Per message, what
-- tarvex reads (id, flags, question, answer count and types) is what tshark
-- reports; and tarvex filter's output reads the same in both, whole and with
-- -r.
-- fixtures: unbound_capture
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local M = require("dnsmessages")

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/unbound_capture/"
local skipped = sub.read(dir .. "skipped")
if skipped ~= "" then
    io.write("skipped: " .. skipped)
    os.exit(77)
end
if not M.have_tshark() then
    print("no tshark: skipped")
    os.exit(77)
end
local capture = dir .. "unbound.pcap"

-- The capture has what it is meant to: frames counted by a tshark filter.
local function frames(filter)
    local _, out = sub.run(string.format("tshark -r %s -Y '%s' -T fields -e frame.number 2>/dev/null", capture, filter))
    local count = 0
    for _ in out:gmatch("%d+") do
        count = count + 1
    end
    return count
end
assert(frames("ip.flags.mf == 1") >= 2, "no fragmented UDP answer")
assert(frames("tcp.reassembled.length > 0 and dns.flags.response == 1") >= 2, "no TCP answer over several segments")
assert(frames("tcp and dns.id == 0x0200 and dns.id == 0x0203") == 1, "the pipelined queries are not in one segment")

local ours = M.tarvex(capture)
assert(#ours == 14, #ours .. " messages")
M.same(ours, M.tshark(capture), "tarvex against tshark")

for _, case in ipairs({ { "", function() return true end },
    { "-r", function(text) return tonumber(text:match("^%S+ (%S+)")) >= 0x8000 end } }) do
    os.remove("kept.pcap")
    local code, out, err = sub.run(string.format("%s filter %s %s kept.pcap", arg[0], case[1], capture))
    assert(code == 0, "filter " .. case[1] .. ": " .. out .. err)
    local want = M.only(ours, case[2])
    M.same(M.tshark("kept.pcap"), want, "tshark on filter " .. case[1])
    M.same(M.tarvex("kept.pcap"), want, "tarvex on filter " .. case[1])
end
print(#ours .. " messages of unbound read as tshark reads them")
