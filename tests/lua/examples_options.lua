-- The example scripts run as their header says: the ones with options take
-- them through the tools' command-line helper (usage on -h, one line naming
-- the script for a bad option or value, exit status 1); the pull loop and the
-- push pipeline work on the sample capture.
-- timeout: 120
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local Peer = require("udppeer")
local examples = os.getenv("TEST_SOURCE_DIR") .. "/examples/"
local sample = os.getenv("TEST_BUILD_DIR") .. "/sample/sample.pcap"

local function escape(text)
    return (text:gsub("%p", "%%%0"))
end

local function run(script, args)
    return sub.run(string.format("%s %s%s %s", arg[0], examples, script, args))
end

local function quoted(name, text)
    return "^" .. escape(name .. ": " .. text) .. "\n$"
end
local BOGUS = "unknown option --bogus (run with -h for the options)"

-- { script, arguments, exit status, stdout pattern, stderr pattern }
local cases = {
    { "hello.lua", "", 0, "^tarvex ", "^core info: script [^\n]*hello%.lua started with 0 arguments\n$" },
    { "hello.lua", "--silent", 0, "errstr%(2%) = ENOENT\n$", "^$" },
    { "hello.lua", "-h", 0, "^usage: tarvex [^\n]*hello%.lua %[options%.%.%.%]\n", "^$" },
    { "hello.lua", "--bogus", 1, "^$", quoted("hello.lua", BOGUS) },
    { "hello.lua", "extra", 1, "^$", quoted("hello.lua", "unexpected argument extra") },
    { "zero_null.lua", "-h", 0, "\n  %-n, %-%-count N +[^\n]+%[1000000%]\n  %-p, %-%-pull +", "^$" },
    { "zero_null.lua", "-n 1000", 0, "^pushed 1000 records, 1000 counted, ", "^$" },
    { "zero_null.lua", "-p --count=1000", 0, "^pulled 1000 records, 1000 counted, ", "^$" },
    { "zero_null.lua", "-n", 1, "^$", quoted("zero_null.lua", "option -n needs a value (run with -h for the options)") },
    { "zero_null.lua", "-n many", 1, "^$", quoted("zero_null.lua", "--count needs a whole number of 0 or more") },
    { "zero_null.lua", "-n 1.5", 1, "^$", quoted("zero_null.lua", "--count needs a whole number of 0 or more") },
    -- The sample holds 6 queries, from two clients.
    { "sources.lua", sample, 0, "192%.0%.2%.10\t5\n", "^$" },
    { "sources.lua", sample, 0, "2001:db8::10\t1\n", "^$" },
    { "sources.lua", "", 1, "^$", "^usage: " },
}
for _, case in ipairs(cases) do
    local script, args, expected_code, out_pattern, err_pattern = unpack(case)
    local code, out, err = run(script, args)
    local label = script .. " " .. args
    assert(code == expected_code, string.format("%s: exit %d, stderr %q", label, code, err))
    assert(out:find(out_pattern), string.format("%s: stdout %q", label, out))
    assert(err:find(err_pattern), string.format("%s: stderr %q", label, err))
end

-- The pipeline sends every UDP payload of the sample to the server.
local peer = Peer.new()
local code, out, err = run("pipeline.lua", string.format("%s 127.0.0.1 %s", sample, peer.port))
assert(code == 0 and out:find("^read 16 packets, sent %d+ payloads, 0 errors\n$"), out .. err)
local sent = tonumber(out:match("sent (%d+)"))
local received = 0
while peer:take(200) do
    received = received + 1
end
assert(sent > 0 and received == sent, string.format("sent %d, received %d", sent, received))
print("example cases pass")
