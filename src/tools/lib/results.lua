-- Results of a replay run: what the workers measured, turned into the one
-- record that the summary, the JSON file, the report, comparisons and merges
-- all read, so that no two of them compute a number apart.
--   local result = Results.build({ worker1, worker2 }, meta)
--   for _, line in ipairs(Results.summary(result)) do print(line) end
--   local merged, why = Results.merge({ shard0, shard1 })   -- decoded JSON results
--   local lines, why = Results.compare(a, b)
-- Workers and shards add up through the same tally: counters summed, rcodes
-- summed by name, histograms added bucket by bucket, seconds aligned on the
-- wall clock; percentiles are computed from the sums only, never averaged.
module("tarvex.tools.lib.results", package.seeall)

local Histogram = require("tarvex.lib.histogram")
local Json = require("tarvex.tools.lib.json")
local Dns = require("tarvex.core.object.dns")

Results = {}

-- The layout of the JSON document; a reader refuses other versions.
Results.VERSION = 1

Results.COUNTERS = { "read", "sent", "answered", "timed_out", "not_sent", "unmatched", "truncated",
    "reconnects", "resent", "send_errors", "receive_errors", "connect_errors", "http_errors", "malformed",
    "id_waits", "sockets_evicted" }
local SERIES_COUNTERS = { "sent", "answered", "timed_out" }
local PERCENTILES = { { "p50", 50 }, { "p90", 90 }, { "p99", 99 }, { "p999", 99.9 } }

-- Settings that are one host's business and may differ between the shards
-- of one run; every other setting changes what is sent or how it is counted.
local HOST_SETTINGS = { threads = true, shard = true, start_at = true, quiet = true, verbose = true,
    json = true, report = true, progress = true }

local function is_null(value)
    return value == nil or value == Json.null
end

local function whole(value)
    return type(value) == "number" and value >= 0 and value == math.floor(value) and value < 2 ^ 53
end

local function new_tally()
    return { counters = {}, rcodes = {}, histogram = Histogram.new(), seconds = {}, sockets_opened = 0 }
end

local function add_into(map, key, count)
    map[key] = (map[key] or 0) + count
end

local function add_second(tally, second, counts, rcodes_by_name, buckets)
    local slot = tally.seconds[second]
    if not slot then
        slot = { sent = 0, answered = 0, timed_out = 0, rcodes = {}, buckets = {} }
        tally.seconds[second] = slot
    end
    for _, name in ipairs(SERIES_COUNTERS) do
        slot[name] = slot[name] + (counts[name] or 0)
    end
    for name, count in pairs(rcodes_by_name) do
        add_into(slot.rcodes, name, count)
    end
    for _, entry in ipairs(buckets) do
        add_into(slot.buckets, entry[1], entry[2])
    end
end

local function add_span(tally, started, finished)
    if type(started) == "number" then
        tally.started = math.min(tally.started or started, started)
    end
    if type(finished) == "number" then
        tally.finished = math.max(tally.finished or finished, finished)
    end
end

local function rcode_names(by_number)
    local names = {}
    for code, count in pairs(by_number or {}) do
        add_into(names, Dns.rcode_tostring(code), count)
    end
    return names
end

-- One worker's measurement, as the engine hands it over.
local function add_measurement(tally, measurement)
    for _, name in ipairs(Results.COUNTERS) do
        add_into(tally.counters, name, measurement.counters[name] or 0)
    end
    tally.sockets_opened = tally.sockets_opened + (measurement.counters.sockets_opened or 0)
    for name, count in pairs(rcode_names(measurement.rcodes)) do
        add_into(tally.rcodes, name, count)
    end
    if measurement.histogram then
        tally.histogram:merge(measurement.histogram)
    end
    for _, second in ipairs(measurement.series or {}) do
        add_second(tally, second.second, second, rcode_names(second.rcodes), second.histogram or {})
    end
    add_span(tally, measurement.started, measurement.finished)
end

local function us(ns)
    return ns and ns / 1000 or Json.null
end

local function percentile_us(histogram, percent)
    return us(histogram:percentile(percent))
end

local function share(part, whole_count)
    if whole_count > 0 then
        return part / whole_count * 100
    end
    return Json.null
end

-- Sorted { {index, count} } of a bucket map.
local function sparse_of(buckets)
    local list = Json.array()
    for index, count in pairs(buckets) do
        list[#list + 1] = Json.array({ index, count })
    end
    table.sort(list, function(a, b) return a[1] < b[1] end)
    return list
end

local function series_of(tally)
    local seconds = {}
    for second in pairs(tally.seconds) do
        seconds[#seconds + 1] = second
    end
    table.sort(seconds)
    local series = Json.array()
    for _, second in ipairs(seconds) do
        local slot = tally.seconds[second]
        local histogram = sparse_of(slot.buckets)
        local latency = assert(Histogram.from_sparse(histogram))
        series[#series + 1] = {
            second = second, sent = slot.sent, answered = slot.answered, timed_out = slot.timed_out,
            rcodes = slot.rcodes, histogram = histogram,
            p50_us = percentile_us(latency, 50), p99_us = percentile_us(latency, 99),
        }
    end
    return series
end

-- A ramp step covers the wall-clock seconds first_second..last_second; its
-- figures are the sums of those seconds, so merged shards get them exactly.
local function step_of(step, tally, settings)
    local out = {}
    for key, value in pairs(step) do
        out[key] = value
    end
    if not (whole(step.first_second) and whole(step.last_second)) then
        return out
    end
    local counts, buckets = { sent = 0, answered = 0, timed_out = 0 }, {}
    for second = step.first_second, step.last_second do
        local slot = tally.seconds[second]
        if slot then
            for name in pairs(counts) do
                counts[name] = counts[name] + slot[name]
            end
            for index, count in pairs(slot.buckets) do
                add_into(buckets, index, count)
            end
        end
    end
    local latency = assert(Histogram.from_sparse(sparse_of(buckets)))
    -- A step's own start and end when it gives them (the first begins with
    -- the run, mid-second; the last takes in what left while the run
    -- stopped), else its whole seconds.
    local span = step.last_second - step.first_second + 1
    if type(step.started) == "number" and type(step.finished) == "number" and step.finished > step.started then
        span = step.finished - step.started
    end
    out.sent, out.answered, out.timed_out = counts.sent, counts.answered, counts.timed_out
    out.achieved_qps = counts.sent / span
    out.loss_pct = share(counts.timed_out, counts.answered + counts.timed_out)
    out.p50_us, out.p99_us = percentile_us(latency, 50), percentile_us(latency, 99)
    local max_loss, max_p99 = tonumber(settings.max_loss), tonumber(settings.max_p99)
    out.held = counts.sent > 0
        and not (max_loss and not is_null(out.loss_pct) and out.loss_pct > max_loss)
        and not (max_p99 and not is_null(out.p99_us) and out.p99_us / 1000 > max_p99)
        and not (max_p99 and counts.answered == 0)
    return out
end

local function copy_meta(meta)
    local out = {}
    for key, value in pairs(meta or {}) do
        if key ~= "steps" then
            out[key] = value
        end
    end
    return out
end

local function finish(tally, meta, steps)
    local counters, histogram = tally.counters, tally.histogram
    local result = {
        version = Results.VERSION,
        tool = meta.tool or "replay",
        meta = copy_meta(meta),
        queries = {},
        rcodes = tally.rcodes,
        sockets = { opened = tally.sockets_opened },
        latency_us = {
            min = us(histogram:min()), max = us(histogram:max()),
            mean = us(histogram:mean()), stddev = us(histogram:stddev()),
        },
        histogram = { unit = "ns", layout = "log-linear-128", buckets = Json.array() },
        series = series_of(tally),
    }
    for _, name in ipairs(Results.COUNTERS) do
        result.queries[name] = counters[name] or 0
    end
    for _, percentile in ipairs(PERCENTILES) do
        result.latency_us[percentile[1]] = percentile_us(histogram, percentile[2])
    end
    for key, value in pairs(histogram:stats()) do
        result.histogram[key] = value
    end
    if histogram:count() == 0 then
        result.histogram.min_ns, result.histogram.max_ns = Json.null, Json.null
    end
    for _, entry in ipairs(histogram:sparse()) do
        local index = entry[1]
        result.histogram.buckets[#result.histogram.buckets + 1] =
            Json.array({ Histogram.bucket_low(index), Histogram.bucket_high(index), entry[2] })
    end
    local queries = result.queries
    local duration = tally.started and tally.finished and tally.finished - tally.started
    result.rate = {
        started = tally.started or Json.null,
        finished = tally.finished or Json.null,
        duration_s = duration or Json.null,
        achieved_qps = duration and duration > 0 and queries.sent / duration or Json.null,
        answered_qps = duration and duration > 0 and queries.answered / duration or Json.null,
    }
    result.loss_pct = share(queries.timed_out, queries.answered + queries.timed_out)
    if steps then
        result.steps = Json.array()
        local highest
        for _, step in ipairs(steps) do
            local out = step_of(step, tally, meta.settings or {})
            result.steps[#result.steps + 1] = out
            if out.held and type(out.qps) == "number" and (not highest or out.qps > highest) then
                highest = out.qps
            end
        end
        result.highest_held_qps = highest or Json.null
    end
    return result
end

-- The result of one run from its workers' measurements and the tool's
-- description of the run (meta: tool, version, capture, settings, shard,
-- steps).
function Results.build(measurements, meta)
    local tally = new_tally()
    for _, measurement in ipairs(measurements) do
        add_measurement(tally, measurement)
    end
    meta = meta or {}
    return finish(tally, meta, meta.steps)
end

-- What tells one capture file from another of the same size: FNV-1a over
-- its first and last 64 KiB, as 8 hex digits. Shards of one run read copies
-- of one file, so any difference there means another capture; reading no
-- more than that keeps it instant on captures of many gigabytes. nil when
-- the file cannot be read or is not seekable (standard input, a pipe).
local FINGERPRINT_SPAN = 65536

function Results.fingerprint(path)
    local file = io.open(path, "rb")
    if not file then
        return nil
    end
    -- A pipe has no fixed content to name.
    local size = file:seek("end")
    if not size then
        file:close()
        return nil
    end
    file:seek("set", 0)
    local head = file:read(FINGERPRINT_SPAN) or ""
    local tail = ""
    if size > FINGERPRINT_SPAN then
        file:seek("set", math.max(FINGERPRINT_SPAN, size - FINGERPRINT_SPAN))
        tail = file:read(FINGERPRINT_SPAN) or ""
    end
    file:close()
    local hash = 0x811C9DC5
    for _, text in ipairs({ head, tail }) do
        for position = 1, #text do
            hash = bit.bxor(hash, text:byte(position))
            -- times the FNV prime 2^24 + 403, kept to 32 bits
            hash = bit.tobit(bit.lshift(hash, 24) + hash * 403)
        end
    end
    return bit.tohex(hash)
end

-- Checks on a result read from a file: everything merge and compare read,
-- with the field named when it is wrong.
local function check_result(result)
    if type(result) ~= "table" then
        return "is not a JSON object"
    end
    if result.version ~= Results.VERSION then
        return "has result version " .. tostring(result.version) .. ", this tarvex reads " .. Results.VERSION
    end
    if type(result.queries) ~= "table" then
        return "has no queries"
    end
    for _, name in ipairs(Results.COUNTERS) do
        if not whole(result.queries[name]) then
            return "queries." .. name .. " is not a whole number"
        end
    end
    if type(result.rcodes) ~= "table" then
        return "has no rcodes"
    end
    for name, count in pairs(result.rcodes) do
        if not whole(count) then
            return "rcodes." .. tostring(name) .. " is not a whole number"
        end
    end
    if type(result.histogram) ~= "table" or result.histogram.layout ~= "log-linear-128"
        or type(result.histogram.buckets) ~= "table" then
        return "has no histogram of this tarvex's bucket layout"
    end
    if type(result.series) ~= "table" then
        return "has no series"
    end
    for position, second in ipairs(result.series) do
        if type(second) ~= "table" or not whole(second.second) or type(second.rcodes) ~= "table" then
            return "series entry " .. position .. " is malformed"
        end
        for _, name in ipairs(SERIES_COUNTERS) do
            if not whole(second[name]) then
                return "series entry " .. position .. ": " .. name .. " is not a whole number"
            end
        end
    end
    if type(result.meta) ~= "table" then
        return "has no meta"
    end
    return nil
end

-- The stored histogram back as buckets: each [low, high, count] must be one
-- of this layout's buckets.
local function stored_histogram(stored)
    local pairs_list = {}
    for position, entry in ipairs(stored.buckets) do
        local low, high, count = type(entry) == "table" and entry[1], type(entry) == "table" and entry[2],
            type(entry) == "table" and entry[3]
        local index = type(low) == "number" and low >= 0 and Histogram.bucket(low)
        if not index or Histogram.bucket_low(index) ~= low or Histogram.bucket_high(index) ~= high then
            return nil, "histogram bucket " .. position .. " is not a bucket of this tarvex's layout"
        end
        pairs_list[position] = { index, count }
    end
    local stats = {}
    for _, name in ipairs({ "count", "min_ns", "max_ns", "sum_ns", "sum_sq_ns" }) do
        stats[name] = not is_null(stored[name]) and stored[name] or nil
    end
    stats.count = stats.count or 0
    return Histogram.from_sparse(pairs_list, stats)
end

local function add_result(tally, result)
    for _, name in ipairs(Results.COUNTERS) do
        add_into(tally.counters, name, result.queries[name])
    end
    tally.sockets_opened = tally.sockets_opened + (type(result.sockets) == "table"
        and whole(result.sockets.opened) and result.sockets.opened or 0)
    for name, count in pairs(result.rcodes) do
        add_into(tally.rcodes, name, count)
    end
    local histogram, why = stored_histogram(result.histogram)
    if not histogram then
        return why
    end
    tally.histogram:merge(histogram)
    for position, second in ipairs(result.series) do
        local buckets = type(second.histogram) == "table" and second.histogram or {}
        local ok, bad = Histogram.from_sparse(buckets)
        if not ok then
            return "series entry " .. position .. ": " .. bad
        end
        for name, count in pairs(second.rcodes) do
            if not whole(count) then
                return "series entry " .. position .. ": rcodes." .. tostring(name) .. " is not a whole number"
            end
        end
        add_second(tally, second.second, second, second.rcodes, buckets)
    end
    if type(result.rate) == "table" then
        add_span(tally, result.rate.started, result.rate.finished)
    end
    return nil
end

local function same(a, b)
    if type(a) ~= "table" or type(b) ~= "table" then
        return a == b
    end
    for key, value in pairs(a) do
        if not same(value, b[key]) then
            return false
        end
    end
    for key in pairs(b) do
        if a[key] == nil then
            return false
        end
    end
    return true
end

local function shown(value)
    if type(value) == "table" then
        local text = Json.encode(value)
        return text and text:gsub("%s+", " "):gsub(" $", "") or "?"
    end
    return tostring(value)
end

-- The first key (in sorted order) whose values differ between two tables,
-- leaving out the keys `ignored` holds; nil when they agree.
local function first_difference(a, b, ignored)
    a, b = type(a) == "table" and a or {}, type(b) == "table" and b or {}
    local keys, seen = {}, {}
    for _, side in ipairs({ a, b }) do
        for key in pairs(side) do
            if not ignored[key] and not seen[key] then
                seen[key] = true
                keys[#keys + 1] = key
            end
        end
    end
    table.sort(keys, function(x, y) return tostring(x) < tostring(y) end)
    for _, key in ipairs(keys) do
        if not same(a[key], b[key]) then
            return key .. " " .. shown(a[key]) .. " and " .. shown(b[key])
        end
    end
    return nil
end

-- Where two runs differ in what they sent: the capture (its path may differ
-- between hosts, its content may not) and every setting but the host's own.
local function run_difference(first, other)
    if first.tool ~= other.tool then
        return "tool " .. shown(first.tool) .. " and " .. shown(other.tool)
    end
    local capture = first_difference(first.meta.capture, other.meta.capture, { path = true })
    if capture then
        return "different captures (" .. capture .. ")"
    end
    local settings = first_difference(first.meta.settings, other.meta.settings, HOST_SETTINGS)
    if settings then
        return "different settings (" .. settings .. ")"
    end
    return nil
end

-- The shards must be one run's: each names the same count N and the
-- inputs hold every index 0..N-1 once.
local function shard_problem(results)
    local count
    local seen = {}
    for position, result in ipairs(results) do
        local shard = result.meta.shard
        if type(shard) ~= "table" or not whole(shard.index) or not whole(shard.count) or shard.count < 1 then
            return "input " .. position .. " is not a shard (no shard index and count)"
        end
        count = count or shard.count
        if shard.count ~= count then
            return "input " .. position .. " is shard " .. shard.index .. "/" .. shard.count
                .. ", the first is of " .. count .. " shards"
        end
        if shard.index >= count then
            return "input " .. position .. " is shard " .. shard.index .. " of " .. count
        end
        if seen[shard.index] then
            return "inputs " .. seen[shard.index] .. " and " .. position .. " are both shard " .. shard.index
        end
        seen[shard.index] = position
    end
    for index = 0, count - 1 do
        if not seen[index] then
            return "shard " .. index .. " of " .. count .. " is missing"
        end
    end
    return nil
end

-- One result from the shards of one run (decoded JSON results); nil and a
-- one-line message when they are not the shards of one run, or one is
-- damaged. A single input needs no shard info.
function Results.merge(results)
    if type(results) ~= "table" or #results == 0 then
        return nil, "nothing to merge"
    end
    for position, result in ipairs(results) do
        local why = check_result(result)
        if why then
            return nil, "input " .. position .. " " .. why
        end
    end
    for position = 2, #results do
        local why = run_difference(results[1], results[position])
        if why then
            return nil, "inputs 1 and " .. position .. " are not from one run: " .. why
        end
    end
    if #results > 1 then
        local why = shard_problem(results)
        if why then
            return nil, why
        end
    end
    local tally = new_tally()
    for position, result in ipairs(results) do
        local why = add_result(tally, result)
        if why then
            return nil, "input " .. position .. ": " .. why
        end
    end
    local meta = copy_meta(results[1].meta)
    if #results > 1 then
        meta.shard = nil
        meta.shards = #results
    end
    local steps
    if type(results[1].steps) == "table" then
        steps = {}
        for _, step in ipairs(results[1].steps) do
            steps[#steps + 1] = { qps = step.qps, first_second = step.first_second, last_second = step.last_second }
        end
        -- Shards started a second apart cover a step over a second more.
        for _, result in ipairs(results) do
            for position, step in ipairs(type(result.steps) == "table" and result.steps or {}) do
                local into = steps[position]
                if into and whole(step.first_second) and whole(into.first_second) then
                    into.first_second = math.min(into.first_second, step.first_second)
                    into.last_second = math.max(into.last_second, step.last_second)
                end
            end
        end
    end
    meta.tool = results[1].tool
    return finish(tally, meta, steps)
end

-- A result read from a JSON file, checked as merge and compare need it.
function Results.load(path)
    local file, open_error = io.open(path, "rb")
    if not file then
        return nil, open_error
    end
    local text = file:read("*a")
    file:close()
    local result, why = Json.decode(text)
    if result == nil then
        return nil, path .. ": " .. why
    end
    why = check_result(result)
    if why then
        return nil, path .. " " .. why
    end
    return result
end

-- Numbers as printed everywhere (the summary, compare and the report), "-"
-- for a figure the run has none of.
local function formatter(format)
    return function(value)
        if is_null(value) then
            return "-"
        end
        return string.format(format, value)
    end
end

Results.format_us = formatter("%.1f")
Results.format_rate = formatter("%.1f")
local format_pct = formatter("%.2f%%")
Results.format_pct = format_pct

-- Rcode names, most frequent first.
function Results.rcode_order(rcodes)
    local names = {}
    for name in pairs(rcodes) do
        names[#names + 1] = name
    end
    table.sort(names, function(a, b)
        if rcodes[a] ~= rcodes[b] then
            return rcodes[a] > rcodes[b]
        end
        return a < b
    end)
    return names
end

Results.LATENCY_ROWS = { { "min", "min" }, { "mean", "mean" }, { "p50", "p50" }, { "p90", "p90" },
    { "p99", "p99" }, { "p99.9", "p999" }, { "max", "max" }, { "stddev", "stddev" } }

-- What a person reads after a run: one screen, numbers right-aligned.
function Results.summary(result)
    local queries, lines = result.queries, {}
    local function row(label, value, extra)
        lines[#lines + 1] = string.format("%-20s %12s%s", label, value, extra and "  " .. extra or "")
    end
    local sent_once = queries.answered + queries.timed_out
    local function of_sent(count)
        return sent_once > 0 and string.format("%7s", format_pct(share(count, sent_once))) or nil
    end
    row("read", queries.read)
    row("sent", queries.sent)
    row("answered", queries.answered, of_sent(queries.answered))
    row("timed out", queries.timed_out, of_sent(queries.timed_out))
    row("not sent", queries.not_sent)
    row("unmatched", queries.unmatched)
    row("truncated", queries.truncated)
    row("reconnects", queries.reconnects)
    row("resent", queries.resent)
    if queries.send_errors + queries.receive_errors > 0 then
        row("errors", queries.send_errors + queries.receive_errors,
            string.format("(%d send, %d receive)", queries.send_errors, queries.receive_errors))
    end
    local ended = queries.answered + queries.timed_out + queries.not_sent
    if ended ~= queries.read then
        lines[#lines + 1] = string.format("warning: answered + timed out + not sent is %d, not the %d read",
            ended, queries.read)
    end
    local rate = result.rate
    row("rate (q/s)", Results.format_rate(rate.achieved_qps), string.format("sent, %s answered, over %s s",
        Results.format_rate(rate.answered_qps), is_null(rate.duration_s) and "-" or string.format("%.3f", rate.duration_s)))
    for _, latency in ipairs(Results.LATENCY_ROWS) do
        row("latency " .. latency[1] .. " (us)", Results.format_us(result.latency_us[latency[2]]))
    end
    local answered_total = 0
    for _, count in pairs(result.rcodes) do
        answered_total = answered_total + count
    end
    for _, name in ipairs(Results.rcode_order(result.rcodes)) do
        row("rcode " .. name, result.rcodes[name], string.format("%7s", format_pct(share(result.rcodes[name], answered_total))))
    end
    if result.steps then
        for _, step in ipairs(result.steps) do
            row("step " .. Results.format_rate(step.qps) .. " q/s", Results.format_rate(step.achieved_qps),
                string.format("q/s sent, loss %s, p99 %s us%s", format_pct(step.loss_pct),
                    Results.format_us(step.p99_us), step.held and "" or ", not held"))
        end
        row("highest held (q/s)", Results.format_rate(result.highest_held_qps))
    end
    return lines
end

-- The rcode shares of a result, by name, in percent of its answers.
local function rcode_shares(result)
    local total, shares = 0, {}
    for _, count in pairs(result.rcodes) do
        total = total + count
    end
    for name, count in pairs(result.rcodes) do
        shares[name] = total > 0 and count / total * 100 or 0
    end
    return shares
end

-- What changed from run A to run B, with the change absolute and relative:
-- rates, each latency figure, loss and each rcode's share.
function Results.compare(a, b)
    for label, result in pairs({ A = a, B = b }) do
        local why = check_result(result)
        if why then
            return nil, "result " .. label .. " " .. why
        end
    end
    local lines = { string.format("%-22s %14s %14s %14s %9s", "", "A", "B", "change", "relative") }
    local function row(label, before, after, format)
        local change, relative = "-", "-"
        if not is_null(before) and not is_null(after) then
            change = string.format("%+.2f", after - before)
            if before ~= 0 then
                relative = string.format("%+.1f%%", (after - before) / math.abs(before) * 100)
            end
        end
        local function cell(value)
            return is_null(value) and "-" or string.format(format, value)
        end
        lines[#lines + 1] = string.format("%-22s %14s %14s %14s %9s", label, cell(before), cell(after), change, relative)
    end
    row("sent (q/s)", a.rate and a.rate.achieved_qps, b.rate and b.rate.achieved_qps, "%.1f")
    row("answered (q/s)", a.rate and a.rate.answered_qps, b.rate and b.rate.answered_qps, "%.1f")
    for _, latency in ipairs(Results.LATENCY_ROWS) do
        row("latency " .. latency[1] .. " (us)", a.latency_us and a.latency_us[latency[2]],
            b.latency_us and b.latency_us[latency[2]], "%.1f")
    end
    row("loss (%)", a.loss_pct, b.loss_pct, "%.2f")
    local shares_a, shares_b = rcode_shares(a), rcode_shares(b)
    local names, seen = {}, {}
    for _, result in ipairs({ a, b }) do
        for _, name in ipairs(Results.rcode_order(result.rcodes)) do
            if not seen[name] then
                seen[name] = true
                names[#names + 1] = name
            end
        end
    end
    for _, name in ipairs(names) do
        row(name .. " (%)", shares_a[name] or 0, shares_b[name] or 0, "%.2f")
    end
    return lines
end

return Results
