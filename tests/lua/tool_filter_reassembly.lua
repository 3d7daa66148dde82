-- tarvex filter on DNS over TCP split over segments (several messages per
-- segment, out of order, retransmitted, wrapping sequence numbers, a segment
-- in IP fragments) and on fragmented UDP answers: messages are judged whole
-- and written as the packets that carried them, so that tarvex and tshark
-- read the same messages from the output as from the kept part of the input,
-- with -Q, -r and -t as well; the same from standard input.
-- fixtures: reassembly
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local M = require("dnsmessages")

local capture = os.getenv("TEST_FIXTURE_DIR") .. "/reassembly/streams.pcap"
if not io.open(capture) then
    print("no reassembly capture (python3-scapy missing)")
    os.exit(77)
end

local all = M.tarvex(capture)
local tshark = M.have_tshark()
if tshark then
    M.same(M.tshark(capture), all, "tshark on the input")
end

local function flags(text)
    return tonumber(text:match("^%S+ (%S+)"))
end
local cases = {
    { "", function() return true end },
    { "-Q", function(text) return flags(text) < 0x8000 end },
    { "-r", function(text) return flags(text) >= 0x8000 end },
    { "-t A -r", function(text) return flags(text) >= 0x8000 and text:match("^%S+ %S+ %S+ 1 ") end },
    { "-t MX", function() return false end },
}
for _, case in ipairs(cases) do
    local options, keep = case[1], case[2]
    for _, from_stdin in ipairs({ false, true }) do
        local label = "filter " .. options .. (from_stdin and " from stdin" or "")
        os.remove("kept.pcap")
        local command = from_stdin and string.format("(%s filter %s - kept.pcap < %s)", arg[0], options, capture)
            or string.format("%s filter %s %s kept.pcap", arg[0], options, capture)
        local code, out, err = sub.run(command)
        assert(code == 0 and out:find("^kept %d+ dropped %d+\n$"), label .. ": exit " .. code .. ": " .. out .. err)
        local want = M.only(all, keep)
        M.same(M.tarvex("kept.pcap"), want, label .. ", tarvex on the output")
        if tshark and not from_stdin then
            M.same(M.tshark("kept.pcap"), want, label .. ", tshark on the output")
        end
    end
end
print("filter writes " .. #all .. " messages as their packets" .. (tshark and ", as tshark reads them" or ""))
