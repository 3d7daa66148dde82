-- What real replay runs write: the JSON results of a plain run, a ramp
-- and a run on three threads are valid against the schema in docs/, and
-- the HTML report of a run renders its charts in headless Chromium with
-- the run's own figures in their text and no request leaving the page.
-- fixtures: replay unbound_tls
-- timeout: 240
-- expect-stdout: ^replay outputs: 3 results valid, report rendered with 4 charts$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local dnsq = require("dnsq")
local Run = require("replayrun")
local Check = require("report_check")
local Results = require("tarvex.tools.lib.results")

local python = "/usr/bin/python3"
if sub.run("(" .. python .. " -c 'import jsonschema')") ~= 0 then
    print("skipped: " .. python .. " has no jsonschema module (Debian package python3-jsonschema)")
    os.exit(77)
end
local dir = os.getenv("TEST_FIXTURE_DIR") .. "/replay"
local port = dnsq.ports("unbound_tls").udp

local runs = {
    -- Some seconds long, so that the charts over time have lines to draw.
    { "plain.json", dir .. "/queries.pcap", "-Q 3000 --report report.html" },
    { "ramp.json", dir .. "/clients.pcap", "--ramp 1000:2000:1000:1 --max-loss 5 --max-p99 500" },
    { "threads.json", dir .. "/queries.pcap", "-n 3 -c 6" },
}
local paths = {}
for _, run in ipairs(runs) do
    local code, result, _, err = Run.replay("-p " .. port .. " " .. run[3], run[2], run[1])
    assert(result, run[1] .. ": no result, exit " .. code .. " " .. err)
    Run.expect(code == 0, run[1] .. ": exit " .. code .. " " .. err)
    Run.accounted(run[1], result)
    paths[#paths + 1] = run[1]
end
local code, out, err = sub.run(string.format("%s %s/tests/lua/lib/schema_check.py %s/docs/replay-result.schema.json %s",
    python, os.getenv("TEST_SOURCE_DIR"), os.getenv("TEST_SOURCE_DIR"), table.concat(paths, " ")))
assert(code == 0, "schema check failed:\n" .. out .. err)

local chromium = Check.chromium()
local page = Check.look(chromium, "report.html", "report")
Check.rendered(page)
local charts, words = Check.charts(page)
assert(#charts == 4, #charts .. " charts")
local result = Run.load("plain.json")
for _, wanted in ipairs({ "p50 " .. Results.format_us(result.latency_us.p50) .. " us",
    "p99 " .. Results.format_us(result.latency_us.p99) .. " us", "NOERROR", "NXDOMAIN",
    Results.format_pct(result.rcodes.NOERROR / result.queries.answered * 100) .. " (" .. result.rcodes.NOERROR .. ")" }) do
    assert(words:find(wanted, 1, true), "no chart text " .. wanted .. " in:\n" .. words)
end
Run.done(string.format("replay outputs: %d results valid, report rendered with %d charts", #paths, #charts))
