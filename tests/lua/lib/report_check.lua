-- Opens an HTML report in headless Chromium (through page_check.py) and
-- reads back the charts Chromium built, for the report tests.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local Check = require("report_check")
--   local chromium = Check.chromium()          -- exits 77 when there is none
--   local page = Check.look(chromium, "report.html", "report")
--   local charts, words = Check.charts(page)
local sub = require("subprocess")
local Json = require("tarvex.tools.lib.json")

local Check = {}

function Check.chromium()
    local chromium = io.popen("command -v chromium"):read("*l")
    if not chromium or chromium == "" then
        print("skipped: no chromium (Debian package chromium)")
        os.exit(77)
    end
    return chromium
end

-- What page_check.py saw of PAGE, with WORK as Chromium's directory.
function Check.look(chromium, page, work)
    assert(os.execute("mkdir -p " .. work) == 0)
    local checker = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/page_check.py"
    local code, out, err = sub.run("/usr/bin/python3 " .. checker .. " " .. chromium .. " " .. page .. " " .. work .. " 90")
    assert(code == 0, "page check failed: " .. out .. err)
    return assert(Json.decode(out))
end

-- The page made no request and its screenshot shows the charts' colours.
function Check.rendered(page)
    assert(#page.page_requests == 0, "the report made requests: " .. table.concat(page.page_requests, " "))
    assert(page.width == 1200 and page.height == 2000)
    assert(page.colours > 50 and page.non_white > 20000, "the screenshot is close to blank")
    assert(page.chart_pixels.blue > 2000 and page.chart_pixels.red > 100 and page.chart_pixels.green > 100,
        "chart colours missing from the screenshot: " .. Json.encode(page.chart_pixels))
end

-- The SVG charts of the rendered DOM (each must hold shapes) and the text
-- of all their labels, one per line.
function Check.charts(page)
    local dom = sub.read(page.dom)
    local charts, labels = {}, {}
    for svg in dom:gmatch("<svg.-</svg>") do
        charts[#charts + 1] = svg
        assert(svg:find("<polyline") or svg:find("<rect"), "a chart without shapes")
        for label in svg:gmatch("<text[^>]*>([^<]+)</text>") do
            labels[#labels + 1] = label
        end
    end
    return charts, table.concat(labels, "\n")
end

return Check
