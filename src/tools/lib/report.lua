-- The HTML report of a replay result: one self-contained page (inline SVG
-- and CSS, nothing fetched, no link anywhere, so it opens the same from a
-- mail attachment or an air-gapped host) with the summary table, latency
-- percentiles and rates over time, the latency distribution on a log axis and
-- the rcode shares. Every number shown is formatted by Results, as in the
-- summary on stdout.
--   io.open(path, "w"):write(Report.html(result))
module("tarvex.tools.lib.report", package.seeall)

local Results = require("tarvex.tools.lib.results")
local Json = require("tarvex.tools.lib.json")

Report = {}

local WIDTH, HEIGHT = 1000, 300
local LEFT, RIGHT, TOP, BOTTOM = 80, 20, 40, 40
local COLORS = { "#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b" }

local function is_null(value)
    return value == nil or value == Json.null
end

local function escape(text)
    return (tostring(text):gsub("[&<>\"']", { ["&"] = "&amp;", ["<"] = "&lt;", [">"] = "&gt;",
        ['"'] = "&quot;", ["'"] = "&#39;" }))
end

local function fmt(number)
    return string.format("%.1f", number)
end

-- A tick step of 1, 2 or 5 times a power of ten giving about `count` ticks.
local function nice_step(top, count)
    if top <= 0 then
        return 1
    end
    local raw = top / count
    local power = 10 ^ math.floor(math.log10(raw))
    for _, factor in ipairs({ 1, 2, 5, 10 }) do
        if raw <= factor * power then
            return factor * power
        end
    end
    return 10 * power
end

local function text(out, x, y, content, anchor, extra)
    out[#out + 1] = string.format('<text x="%s" y="%s" text-anchor="%s"%s>%s</text>', fmt(x), fmt(y),
        anchor or "start", extra or "", escape(content))
end

local function frame(out, title)
    out[#out + 1] = string.format('<svg class="chart" width="%d" height="%d" viewBox="0 0 %d %d" role="img">',
        WIDTH, HEIGHT, WIDTH, HEIGHT)
    text(out, LEFT, 22, title, "start", ' class="title"')
    out[#out + 1] = string.format('<rect x="%d" y="%d" width="%d" height="%d" class="plot"/>', LEFT, TOP,
        WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM)
end

local function plot_x(fraction)
    return LEFT + fraction * (WIDTH - LEFT - RIGHT)
end

local function plot_y(fraction)
    return HEIGHT - BOTTOM - fraction * (HEIGHT - TOP - BOTTOM)
end

local BINS_PER_DECADE = 20
local DECADE_NAMES = { [0] = "1 ns", "10 ns", "100 ns", "1 us", "10 us", "100 us", "1 ms", "10 ms", "100 ms",
    "1 s", "10 s", "100 s" }

local function decade_name(ns_decade)
    return DECADE_NAMES[ns_decade] or ("1e" .. ns_decade .. " ns")
end

-- A vertical scale: where a value sits (0..1 of the plot's height) and the
-- ticks to draw. Linear from 0 to a round top, or logarithmic over whole
-- decades (for latencies, whose percentiles lie decades apart).
local function linear_scale(top)
    local step = nice_step(top, 5)
    top = math.ceil(top / step) * step
    local ticks = {}
    for value = 0, top * 1.0001, step do
        ticks[#ticks + 1] = { value, string.format(step < 1 and "%.1f" or "%.0f", value) }
    end
    return { at = function(value) return value / top end, ticks = ticks }
end

local function log_us_scale(low, high)
    local bottom = math.floor(math.log10(low))
    local top = math.max(math.ceil(math.log10(high)), bottom + 1)
    local ticks = {}
    for decade = bottom, top do
        ticks[#ticks + 1] = { 10 ^ decade, decade_name(decade + 3) }
    end
    return {
        at = function(value) return (math.log10(math.max(value, 10 ^ bottom)) - bottom) / (top - bottom) end,
        ticks = ticks,
    }
end

local function y_axis(out, scale, unit)
    for _, tick in ipairs(scale.ticks) do
        local y = plot_y(scale.at(tick[1]))
        out[#out + 1] = string.format('<line x1="%d" x2="%d" y1="%s" y2="%s" class="grid"/>', LEFT,
            WIDTH - RIGHT, fmt(y), fmt(y))
        text(out, LEFT - 6, y + 4, tick[2], "end")
    end
    text(out, 14, TOP - 8, unit, "start")
end

local function legend(out, entries)
    local x = WIDTH - RIGHT
    for position = #entries, 1, -1 do
        local entry = entries[position]
        text(out, x, 22, entry.label, "end", string.format(' fill="%s"', entry.color))
        x = x - 10 - 7.5 * #entry.label
    end
end

local function no_data(out, what)
    text(out, WIDTH / 2, HEIGHT / 2, what, "middle", ' class="empty"')
    out[#out + 1] = "</svg>"
end

-- Lines over the run's seconds: x is seconds since the first second of the
-- series; `lines` = { {label=, color=, value=function(second)} }; `log`
-- puts the values (microseconds) on a log scale.
local function time_chart(out, title, unit, series, lines, log)
    frame(out, title)
    local first, last = series[1] and series[1].second, series[#series] and series[#series].second
    local low, high = math.huge, 0
    for _, line in ipairs(lines) do
        for _, second in ipairs(series) do
            local value = line.value(second)
            if not is_null(value) and value > 0 then
                low, high = math.min(low, value), math.max(high, value)
            end
        end
    end
    if not first or high <= 0 then
        return no_data(out, "no data")
    end
    local scale = log and log_us_scale(low, high) or linear_scale(high)
    y_axis(out, scale, unit)
    local span = math.max(last - first, 1)
    local x_step = math.max(1, nice_step(span, 8))
    for offset = 0, span, x_step do
        text(out, plot_x(offset / span), HEIGHT - BOTTOM + 18, string.format("%d s", offset), "middle")
    end
    for _, line in ipairs(lines) do
        local points = {}
        for _, second in ipairs(series) do
            local value = line.value(second)
            if not is_null(value) then
                points[#points + 1] = fmt(plot_x((second.second - first) / span)) .. "," .. fmt(plot_y(scale.at(value)))
            end
        end
        out[#out + 1] = string.format('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>',
            line.color, table.concat(points, " "))
        if #points <= 120 then
            for _, point in ipairs(points) do
                local x, y = point:match("([^,]+),(.+)")
                out[#out + 1] = string.format('<circle cx="%s" cy="%s" r="2.5" fill="%s"/>', x, y, line.color)
            end
        end
    end
    legend(out, lines)
    out[#out + 1] = "</svg>"
end

-- The stored buckets folded into bins of equal width on a log axis, with
-- the whole run's p50 and p99 marked.
local function distribution_chart(out, result)
    frame(out, "latency distribution (answers per bin, log axis)")
    local buckets = result.histogram.buckets
    if #buckets == 0 then
        return no_data(out, "no answers")
    end
    local function position(ns)
        return math.log10(math.max(ns, 1))
    end
    local low_decade = math.floor(position(buckets[1][1]))
    local high_decade = math.max(math.ceil(position(buckets[#buckets][2] + 1)), low_decade + 1)
    local bins, top = {}, 0
    for _, bucket in ipairs(buckets) do
        local middle = (bucket[1] + bucket[2]) / 2
        local bin = math.floor((position(middle) - low_decade) * BINS_PER_DECADE)
        bins[bin] = (bins[bin] or 0) + bucket[3]
        top = math.max(top, bins[bin])
    end
    local scale = linear_scale(top)
    y_axis(out, scale, "answers")
    local decades = high_decade - low_decade
    local bin_width = (WIDTH - LEFT - RIGHT) / (decades * BINS_PER_DECADE)
    for bin, count in pairs(bins) do
        local height = scale.at(count) * (HEIGHT - TOP - BOTTOM)
        out[#out + 1] = string.format('<rect x="%s" y="%s" width="%s" height="%s" fill="%s"/>',
            fmt(plot_x(bin / (decades * BINS_PER_DECADE))), fmt(plot_y(0) - height), fmt(math.max(bin_width - 1, 1)),
            fmt(height), COLORS[1])
    end
    for decade = low_decade, high_decade do
        local x = plot_x((decade - low_decade) / decades)
        text(out, x, HEIGHT - BOTTOM + 18, decade_name(decade), "middle")
    end
    for index, marker in ipairs({ { "p50", result.latency_us.p50 }, { "p99", result.latency_us.p99 } }) do
        local value = marker[2]
        if not is_null(value) then
            local x = plot_x((position(value * 1000) - low_decade) / decades)
            out[#out + 1] = string.format('<line x1="%s" x2="%s" y1="%d" y2="%d" class="marker"/>', fmt(x), fmt(x),
                TOP, HEIGHT - BOTTOM)
            -- Past the middle the label goes left of its line, so it stays on the page.
            local right_half = x > (LEFT + WIDTH - RIGHT) / 2
            text(out, right_half and x - 4 or x + 4, TOP + 14 * index, marker[1] .. " " .. Results.format_us(value)
                .. " us", right_half and "end" or "start", string.format(' fill="%s"', COLORS[index]))
        end
    end
    out[#out + 1] = "</svg>"
end

local function rcode_chart(out, result)
    local names = Results.rcode_order(result.rcodes)
    local row_height = 26
    local height = TOP + math.max(#names, 1) * row_height + 10
    out[#out + 1] = string.format('<svg class="chart" width="%d" height="%d" viewBox="0 0 %d %d" role="img">',
        WIDTH, height, WIDTH, height)
    text(out, LEFT, 22, "rcode shares (of answers)", "start", ' class="title"')
    local total = 0
    for _, count in pairs(result.rcodes) do
        total = total + count
    end
    if total == 0 then
        text(out, WIDTH / 2, TOP + 14, "no answers", "middle", ' class="empty"')
    end
    local bar_left, bar_room = 180, WIDTH - 180 - 260
    for position, name in ipairs(names) do
        local count = result.rcodes[name]
        local share = total > 0 and count / total * 100 or 0
        local y = TOP + (position - 1) * row_height
        text(out, bar_left - 8, y + 17, name, "end")
        out[#out + 1] = string.format('<rect x="%d" y="%d" width="%s" height="%d" fill="%s"/>', bar_left, y + 3,
            fmt(math.max(share / 100 * bar_room, 1)), row_height - 8, COLORS[(position - 1) % #COLORS + 1])
        text(out, bar_left + bar_room + 10, y + 17, string.format("%s (%d)", Results.format_pct(share), count))
    end
    out[#out + 1] = "</svg>"
end

local function summary_table(out, result)
    local queries, rate, latency = result.queries, result.rate, result.latency_us
    local rows = {
        { "read", queries.read }, { "sent", queries.sent }, { "answered", queries.answered },
        { "timed out", queries.timed_out }, { "not sent", queries.not_sent }, { "unmatched", queries.unmatched },
        { "truncated", queries.truncated }, { "reconnects", queries.reconnects }, { "resent", queries.resent },
        { "loss", Results.format_pct(result.loss_pct) },
        { "rate sent (q/s)", Results.format_rate(rate.achieved_qps) },
        { "rate answered (q/s)", Results.format_rate(rate.answered_qps) },
        { "duration (s)", is_null(rate.duration_s) and "-" or string.format("%.3f", rate.duration_s) },
    }
    local latency_rows = {}
    for _, row in ipairs(Results.LATENCY_ROWS) do
        latency_rows[#latency_rows + 1] = { "latency " .. row[1] .. " (us)", Results.format_us(latency[row[2]]) }
    end
    out[#out + 1] = '<div class="tables">'
    for _, group in ipairs({ rows, latency_rows }) do
        out[#out + 1] = "<table>"
        for _, row in ipairs(group) do
            out[#out + 1] = string.format("<tr><th>%s</th><td>%s</td></tr>", escape(row[1]), escape(row[2]))
        end
        out[#out + 1] = "</table>"
    end
    out[#out + 1] = "</div>"
end

local function steps_table(out, result)
    if type(result.steps) ~= "table" or #result.steps == 0 then
        return
    end
    out[#out + 1] = "<h2>ramp steps</h2><table><tr><th>target (q/s)</th><th>sent (q/s)</th><th>loss</th>"
        .. "<th>p50 (us)</th><th>p99 (us)</th><th>held</th></tr>"
    for _, step in ipairs(result.steps) do
        out[#out + 1] = string.format("<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>",
            escape(Results.format_rate(step.qps)), escape(Results.format_rate(step.achieved_qps)),
            escape(Results.format_pct(step.loss_pct)), escape(Results.format_us(step.p50_us)),
            escape(Results.format_us(step.p99_us)), step.held and "yes" or "no")
    end
    out[#out + 1] = string.format("</table><p>highest step held: %s q/s</p>",
        escape(Results.format_rate(result.highest_held_qps)))
end

local STYLE = [[
body { font: 14px sans-serif; margin: 24px; color: #222; background: #fff; }
h1 { font-size: 20px; margin: 0 0 4px 0; }
p.run { color: #555; margin: 0 0 16px 0; }
div.tables { display: flex; align-items: flex-start; gap: 32px; margin-bottom: 16px; }
table { border-collapse: collapse; }
th { text-align: left; font-weight: normal; color: #555; padding: 2px 16px 2px 0; }
td { text-align: right; padding: 2px 0; font-variant-numeric: tabular-nums; }
svg.chart { display: block; margin: 12px 0; font: 12px sans-serif; }
svg .title { font-size: 14px; font-weight: bold; }
svg .plot { fill: none; stroke: #999; }
svg .grid { stroke: #e5e5e5; }
svg .marker { stroke: #555; stroke-dasharray: 4 3; }
svg .empty { fill: #999; font-size: 16px; }
]]

local function run_line(result)
    local meta = type(result.meta) == "table" and result.meta or {}
    local capture = type(meta.capture) == "table" and meta.capture or {}
    local settings = type(meta.settings) == "table" and meta.settings or {}
    local parts = {}
    if capture.path then
        parts[#parts + 1] = "capture " .. tostring(capture.path)
    end
    if settings.server then
        parts[#parts + 1] = string.format("server %s port %s over %s", tostring(settings.server),
            tostring(settings.port or "-"), tostring(settings.transport or "-"))
    end
    if not is_null(result.rate.started) then
        parts[#parts + 1] = "started " .. os.date("!%Y-%m-%d %H:%M:%S UTC", math.floor(result.rate.started))
    end
    if meta.shards then
        parts[#parts + 1] = "merged from " .. tostring(meta.shards) .. " shards"
    elseif type(meta.shard) == "table" then
        parts[#parts + 1] = string.format("shard %s of %s", tostring(meta.shard.index), tostring(meta.shard.count))
    end
    if meta.version then
        parts[#parts + 1] = "tarvex " .. tostring(meta.version)
    end
    return table.concat(parts, ", ")
end

-- The page as one string.
function Report.html(result)
    local out = { "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
        "<title>tarvex replay report</title>", "<style>" .. STYLE .. "</style>", "</head><body>",
        "<h1>tarvex replay</h1>", '<p class="run">' .. escape(run_line(result)) .. "</p>" }
    summary_table(out, result)
    steps_table(out, result)
    local series = result.series
    local p50, p99 = Results.format_us(result.latency_us.p50), Results.format_us(result.latency_us.p99)
    time_chart(out, "latency over time (log axis), whole run p50 " .. p50 .. " us, p99 " .. p99 .. " us", "us", series, {
        { label = "p50", color = COLORS[1], value = function(second) return second.p50_us end },
        { label = "p99", color = COLORS[2], value = function(second) return second.p99_us end },
    }, true)
    time_chart(out, "rate over time (queries per second)", "q/s", series, {
        { label = "sent", color = COLORS[1], value = function(second) return second.sent end },
        { label = "answered", color = COLORS[3], value = function(second) return second.answered end },
        { label = "timed out", color = COLORS[2], value = function(second) return second.timed_out end },
    })
    distribution_chart(out, result)
    rcode_chart(out, result)
    out[#out + 1] = "</body></html>\n"
    return table.concat(out, "\n")
end

return Report
