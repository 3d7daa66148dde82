-- The HTML report opened in headless Chromium: it renders its charts (a
-- screenshot with the charts' colours in it, SVG elements whose text holds
-- the run's numbers as the summary prints them), and the page makes no
-- request at all, while a page that does is caught by the same check.
-- timeout: 240
-- expect-stdout: ^report rendered: 4 charts, no request$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local synthetic = require("measurements")
local sub = require("subprocess")
local Results = require("tarvex.tools.lib.results")
local Report = require("tarvex.tools.lib.report")
local Check = require("report_check")

-- Without a browser the page cannot be looked at; the rest still holds.
local meta = synthetic.meta()
meta.capture.path = "/captures/<script>alert(1)</script>&.pcap"
local result = Results.build({ synthetic.measure(synthetic.queries(3000, 1700000000)) }, meta)
local html = Report.html(result)
sub.write("report.html", html)
for _, outside in ipairs({ "http:", "https:", "src=", "href=", "url(", "@import", "<script", "<link", "<img",
    "<iframe", "<object" }) do
    assert(not html:lower():find(outside, 1, true), "the page refers to something outside: " .. outside)
end
assert(html:find("/captures/&lt;script&gt;alert(1)&lt;/script&gt;&amp;.pcap", 1, true), "the capture path is escaped")
local empty = Report.html(Results.build({ synthetic.measure({}) }, synthetic.meta()))
assert(select(2, empty:gsub("no data", "")) == 2 and empty:find("no answers", 1, true), "an empty run's charts say so")

local chromium = Check.chromium()
local function look(page, work)
    return Check.look(chromium, page, work)
end

-- The same check catches a page that does fetch something.
sub.write("probe.html", '<!DOCTYPE html><html><body><img src="http://tarvex-probe.invalid/x.png"></body></html>')
local probe = look("probe.html", "probe")
assert(#probe.page_requests == 1 and probe.page_requests[1] == "http://tarvex-probe.invalid/x.png",
    "the probe's request was not seen")

local page = look("report.html", "report")
Check.rendered(page)

-- The DOM Chromium built: four charts, each with shapes and text.
local charts, words = Check.charts(page)
assert(#charts == 4, #charts .. " charts")
local summary = table.concat(Results.summary(result), "\n")
local p50, p99 = Results.format_us(result.latency_us.p50), Results.format_us(result.latency_us.p99)
assert(summary:find("latency p99 %(us%)%s+" .. p99:gsub("%.", "%%.")), "the summary prints p99 as " .. p99)
for _, wanted in ipairs({ "p99 " .. p99 .. " us", "p50 " .. p50 .. " us", "NOERROR",
    Results.format_pct(result.rcodes.NOERROR / result.queries.answered * 100) .. " (" .. result.rcodes.NOERROR .. ")" }) do
    assert(words:find(wanted, 1, true), "no chart text " .. wanted .. " in:\n" .. words)
end
print("report rendered: " .. #charts .. " charts, no request")
