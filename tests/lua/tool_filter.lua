-- tarvex filter: which packets it keeps, what it prints, and that the
-- kept packets are the original frames.
-- fixtures: pcapio
-- expect-stdout: ^filter example cases pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local pcapio = require("pcapio")
local sub = require("subprocess")
local Input = require("tarvex.input.pcap")

local example = "filter"

-- dnsmix: four rounds of (UDP query, UDP response, IPv6 UDP query, other UDP,
-- TCP SYN to port 80) for a/A, b/AAAA, c/MX, d/A.
-- native: query, response, IPv6 query, TCP query (MX, with its length),
-- cut non-DNS frame, query with a longer wire length, empty frame.
local function rounds(picks)
    local kept = {}
    for round = 0, 3 do
        for _, index in ipairs(picks[round + 1] or {}) do
            kept[#kept + 1] = round * 5 + index
        end
    end
    return kept
end
local cases = {
    { "dnsmix", "", rounds({ { 1, 2, 3 }, { 1, 2, 3 }, { 1, 2, 3 }, { 1, 2, 3 } }) },
    { "dnsmix", "-Q", rounds({ { 1, 3 }, { 1, 3 }, { 1, 3 }, { 1, 3 } }) },
    { "dnsmix", "--responses", rounds({ { 2 }, { 2 }, { 2 }, { 2 } }) },
    { "dnsmix", "-t A", rounds({ { 1, 2, 3 }, {}, {}, { 1, 2, 3 } }) },
    { "dnsmix", "-t AAAA -r", rounds({ {}, { 2 } }) },
    { "dnsmix", "-Q -t 15", rounds({ {}, {}, { 1, 3 } }) },
    { "dnsmix", "-t TXT", {} },
    { "dnsmix", "-p 5001", {} },
    { "native", "", { 1, 2, 3, 4, 6 } },
    { "native", "-t mx", { 4 } },
}

for _, case in ipairs(cases) do
    local name, options, kept = case[1], case[2], case[3]
    local label = name .. " " .. options .. ": "
    local listed = pcapio.listing(name)
    os.remove("kept.pcap")
    local code, out, err = sub.run(string.format("%s %s %s %s kept.pcap", arg[0], example, options,
        pcapio.fixture(name .. ".pcap")))
    assert(code == 0, label .. "exit " .. code .. ": " .. err)
    local want = string.format("kept %d dropped %d\n", #kept, #listed - #kept)
    assert(out == want, label .. "printed " .. out .. ", expected " .. want)

    local input = Input.new()
    assert(input:open_offline("kept.pcap") == 0)
    local produce, ctx = input:produce()
    local seen = {}
    while true do
        local obj = produce(ctx)
        if obj == nil then
            break
        end
        seen[#seen + 1] = pcapio.snapshot(obj)
    end
    local expected = {}
    for i, index in ipairs(kept) do
        expected[i] = listed[index]
    end
    pcapio.expect_records(seen, expected)
end

-- Usage errors end with status 1 and say why.
for _, case in ipairs({
    { "", "need an input and an output capture" },
    { "-Q -r in.pcap out.pcap", "exclude each other" },
    { "-t NOSUCH in.pcap out.pcap", "unknown question type NOSUCH" },
    { "missing.pcap out.pcap", "cannot read missing.pcap" },
    { "--bogus", "unknown option --bogus" },
}) do
    local code, _, err = sub.run(string.format("%s %s %s", arg[0], example, case[1]))
    assert(code == 1 and err:find(case[2], 1, true), case[1] .. ": exit " .. code .. ": " .. err)
end

local code, out = sub.run(string.format("%s %s -h", arg[0], example))
assert(code == 0 and out:find("^usage: "), "help: " .. out)
print("filter example cases pass")
