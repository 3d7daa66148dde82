-- Results: workers' measurements add up to what one worker measuring every
-- query reports, shards merged from their JSON files to what one unsharded
-- run reports, merges of runs that differ are refused with the reason, and
-- the summary and the comparison print the run's numbers.
-- reject-stderr: .
-- expect-stdout: ^results ok$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local synthetic = require("measurements")
local Results = require("tarvex.tools.lib.results")
local Json = require("tarvex.tools.lib.json")

local start = 1700000000
local queries = synthetic.queries(4000, start)
local function half(parity)
    return function(query) return query.client % 2 == parity end
end

local single = Results.build({ synthetic.measure(queries) }, synthetic.meta())
local workers = Results.build({ synthetic.measure(queries, half(0)), synthetic.measure(queries, half(1)) },
    synthetic.meta())

-- The counts the queries were made with.
local expected = { read = 4000, sent = 0, answered = 0, timed_out = 0, not_sent = 0, truncated = 0 }
local rcodes = {}
for _, query in ipairs(queries) do
    expected[query.outcome] = expected[query.outcome] + 1
    if query.outcome ~= "not_sent" then
        expected.sent = expected.sent + 1
    end
    if query.rcode then
        rcodes[query.rcode] = (rcodes[query.rcode] or 0) + 1
        expected.truncated = expected.truncated + (query.truncated and 1 or 0)
    end
end
for name, count in pairs(expected) do
    assert(single.queries[name] == count, name .. ": " .. single.queries[name] .. " for " .. count)
end
assert(single.rcodes.NOERROR == rcodes[0] and single.rcodes.NXDOMAIN == rcodes[3]
    and single.rcodes.SERVFAIL == rcodes[2], "rcodes by name")
assert(single.sockets.opened == 64)
assert(single.rate.duration_s == 4 and single.rate.achieved_qps == expected.sent / 4)
assert(single.loss_pct == expected.timed_out / (expected.answered + expected.timed_out) * 100)
assert(#single.series == 4, #single.series .. " seconds")

-- Everything that is a count or a percentile is identical; the two-cluster
-- latencies put p50 and p99 in different decades.
local function assert_same(a, b, label)
    for _, name in ipairs(Results.COUNTERS) do
        assert(a.queries[name] == b.queries[name], label .. ": queries." .. name)
    end
    for name, count in pairs(a.rcodes) do
        assert(b.rcodes[name] == count, label .. ": rcodes." .. name)
    end
    for _, name in ipairs({ "min", "p50", "p90", "p99", "p999", "max" }) do
        assert(a.latency_us[name] == b.latency_us[name], label .. ": latency " .. name)
    end
    for _, name in ipairs({ "mean", "stddev" }) do
        assert(math.abs(a.latency_us[name] - b.latency_us[name]) <= 1e-9 * a.latency_us[name], label .. ": " .. name)
    end
    assert(#a.histogram.buckets == #b.histogram.buckets, label .. ": histogram buckets")
    for position, bucket in ipairs(a.histogram.buckets) do
        local other = b.histogram.buckets[position]
        assert(bucket[1] == other[1] and bucket[2] == other[2] and bucket[3] == other[3], label .. ": bucket")
    end
    assert(#a.series == #b.series, label .. ": series length")
    for position, second in ipairs(a.series) do
        local other = b.series[position]
        for _, name in ipairs({ "second", "sent", "answered", "timed_out", "p50_us", "p99_us" }) do
            assert(second[name] == other[name], label .. ": series " .. position .. " " .. name)
        end
    end
    assert(a.rate.achieved_qps == b.rate.achieved_qps, label .. ": rate")
end
assert(single.latency_us.p50 < 300 and single.latency_us.p99 > 5000, "two clusters")
assert_same(single, workers, "two workers")

-- Shards: each written as JSON by its own run, read back and merged.
local function shard_file(parity, count)
    local result = Results.build({ synthetic.measure(queries, half(parity)) },
        synthetic.meta({ index = parity, count = count or 2 }))
    return assert(Json.decode(assert(Json.encode(result))))
end
local shards = { shard_file(1), shard_file(0) }
local merged = assert(Results.merge(shards))
assert_same(single, merged, "merged shards")
assert(merged.meta.shards == 2 and merged.meta.shard == nil)
local remerged = assert(Results.merge({ assert(Json.decode(assert(Json.encode(merged)))) }))
assert_same(single, remerged, "merged result read back")
assert(Json.encode(remerged) == Json.encode(merged), "a merged result reads back to the same text")

-- Refusals, each naming what differs.
local function altered(change)
    local copy = assert(Json.decode(assert(Json.encode(shards[2]))))
    change(copy)
    return copy
end
local refusals = {
    { { shards[1], altered(function(r) r.meta.capture.packets = 1999 end) }, "different captures (packets 2000 and 1999)" },
    { { shards[1], altered(function(r) r.meta.settings.qps = 500 end) }, "different settings (qps 0 and 500)" },
    { { shards[1], altered(function(r) r.meta.settings.transport = "tcp" end) }, "different settings (transport udp and tcp)" },
    { { shards[1], altered(function(r) r.meta.shard.index = 1 end) }, "inputs 1 and 2 are both shard 1" },
    { { shards[1], altered(function(r) r.meta.shard = nil end) }, "input 2 is not a shard" },
    { { shards[1], altered(function(r) r.meta.shard.count = 3 end) }, "input 2 is shard 0/3, the first is of 2 shards" },
    { { shard_file(0, 3), shard_file(1, 3) }, "shard 2 of 3 is missing" },
    { { shards[1], altered(function(r) r.version = 9 end) }, "input 2 has result version 9, this tarvex reads 1" },
    { { shards[1], altered(function(r) r.queries.sent = -1 end) }, "input 2 queries.sent is not a whole number" },
    { { shards[1], altered(function(r) r.histogram.buckets[1][1] = 3 end) }, "is not a bucket of this tarvex's layout" },
    { { shards[1], altered(function(r) r.histogram.buckets[1][3] = 1e9 end) }, "does not match its buckets" },
    { { shards[1], altered(function(r) r.series[1].histogram[1][1] = 99999 end) }, "series entry 1: histogram entry 1" },
    { {}, "nothing to merge" },
}
for _, case in ipairs(refusals) do
    local result, why = Results.merge(case[1])
    assert(result == nil and why and why:find(case[2], 1, true), tostring(why) .. "\n  wanted: " .. case[2])
    assert(not why:find("\n"), "one line: " .. why)
end
-- The host's own settings may differ between shards.
assert(Results.merge({ shards[1], altered(function(r) r.meta.settings.threads = 8 r.meta.capture.path = "/x" end) }))

-- The summary shows the run's own numbers.
local summary = table.concat(Results.summary(single), "\n")
for _, wanted in ipairs({
    "read%s+4000", "sent%s+" .. expected.sent, "answered%s+" .. expected.answered, "timed out%s+" .. expected.timed_out,
    "not sent%s+" .. expected.not_sent, "truncated%s+" .. expected.truncated,
    "latency p99 %(us%)%s+" .. Results.format_us(single.latency_us.p99):gsub("%.", "%%."),
    "rcode NOERROR%s+" .. rcodes[0] .. "%s+%d+%.%d%d%%",
}) do
    assert(summary:find(wanted), "summary lacks " .. wanted .. ":\n" .. summary)
end
assert(not summary:find("warning"), summary)
local lopsided = Results.build({ synthetic.measure(queries) }, synthetic.meta())
lopsided.queries.read = lopsided.queries.read + 1
assert(table.concat(Results.summary(lopsided), "\n"):find("warning: answered %+ timed out %+ not sent is 4000, not the 4001 read"))

-- An empty run: nothing answered, nothing to take percentiles of.
local empty = Results.build({ synthetic.measure({}) }, synthetic.meta())
assert(empty.latency_us.p50 == Json.null and empty.rate.achieved_qps == Json.null and #empty.series == 0)
assert(Json.decode(assert(Json.encode(empty))), "an empty run encodes")
assert(table.concat(Results.summary(empty), "\n"):find("latency p99 %(us%)%s+%-"))

-- Compare: B is A with every latency doubled and more timeouts.
local slower = {}
for position, query in ipairs(queries) do
    local copy = {}
    for key, value in pairs(query) do copy[key] = value end
    if copy.latency_ns then copy.latency_ns = copy.latency_ns * 2 end
    if position % 50 == 0 and copy.outcome == "answered" then
        copy.outcome, copy.rcode, copy.latency_ns = "timed_out", nil, nil
    end
    slower[position] = copy
end
local b = Results.build({ synthetic.measure(slower) }, synthetic.meta())
local lines = assert(Results.compare(single, b))
local text = table.concat(lines, "\n")
local function row(label)
    for _, line in ipairs(lines) do
        if line:sub(1, #label) == label then
            return line
        end
    end
    error("compare has no row " .. label .. ":\n" .. text)
end
assert(row("latency p50 (us)"):find("%+100%.%d%%%s*$") or row("latency p50 (us)"):find("%+99%.%d%%%s*$"), row("latency p50 (us)"))
assert(row("loss (%)"):find(string.format("%.2f", single.loss_pct), 1, true))
assert(row("loss (%)"):find(string.format("%.2f", b.loss_pct), 1, true))
assert(row("NOERROR (%)"))
assert(row("sent (q/s)"):find("%+0%.00%s+%+0%.0%%"), row("sent (q/s)"))
local no, why = Results.compare(single, { version = 2 })
assert(no == nil and why == "result B has result version 2, this tarvex reads 1", why)

print("results ok")
