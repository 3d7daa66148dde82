-- The dumpdns example: the sample capture prints as recorded in
-- data/dumpdns_sample.txt, and frames it cannot or need not show do not
-- stop it or shift its packet numbers.
-- timeout: 60
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local src, build = os.getenv("TEST_SOURCE_DIR"), os.getenv("TEST_BUILD_DIR")
local example = "dump"

local function slurp(path)
    local file = assert(io.open(path, "rb"))
    local text = file:read("*a")
    file:close()
    return text
end

local lines = sub.lines

local function dump(args)
    local code, out, err = sub.run(string.format("%s %s %s", arg[0], example, args))
    assert(code == 0, "dumpdns " .. args .. " exited " .. code .. ": " .. err)
    assert(err == "", "dumpdns " .. args .. " wrote to stderr: " .. err)
    return out
end

-- The sample, line by line.
local sample = build .. "/sample/sample.pcap"
assert(io.open(sample), "no sample capture at " .. sample)
local got, want = lines(dump(sample)), lines(slurp(src .. "/tests/lua/data/dumpdns_sample.txt"))
for i = 1, math.max(#got, #want) do
    if got[i] ~= want[i] then
        error(string.format("sample line %d:\n got  %q\n want %q", i, tostring(got[i]), tostring(want[i])), 0)
    end
end

-- The edge capture: packet 1 is dropped by the decoder, 3 is an empty
-- datagram, 4 is no DNS message, 5 is on port 5300, 6 is ARP.
assert(os.execute(string.format("python3 %s/tests/fixtures/dumpdns_edges.py edges.pcap", src)) == 0)
local function packets(text)
    local numbers = {}
    for number in text:gmatch("packet (%d+) at") do
        numbers[#numbers + 1] = tonumber(number)
    end
    return table.concat(numbers, ",")
end
local out = dump("edges.pcap")
assert(packets(out) == "2,4,7", "port 53 packets: " .. packets(out))
assert(out:find("port 53, 5 bytes\n\tnot a DNS message\n", 1, true), "garbage on port 53:\n" .. out)
assert(select(2, out:gsub("\nid:\t", "")) == 2, "two messages printed:\n" .. out)
assert(packets(dump("-a edges.pcap")) == "2,4,5,7", "every port")

-- Usage errors.
local code, _, err = sub.run(string.format("%s %s", arg[0], example))
assert(code == 1, "no file: exit " .. code)
code, _, err = sub.run(string.format("%s %s missing.pcap", arg[0], example))
assert(code == 1 and err:find("cannot read missing.pcap", 1, true), "missing file: " .. err)
print("dumpdns checks pass")
