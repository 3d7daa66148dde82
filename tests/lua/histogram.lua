-- The script class over the latency histogram: statistics, merging, and the
-- sparse form results are stored in, rebuilt exactly or refused when damaged.
-- reject-stderr: .
-- expect-stdout: ^histogram ok$
local Histogram = require("tarvex.lib.histogram")

local empty = Histogram.new()
assert(empty:count() == 0)
for _, name in ipairs({ "min", "max", "mean", "stddev" }) do
    assert(empty[name](empty) == nil, name .. " of an empty histogram")
end
assert(empty:percentile(50) == nil)
assert(#empty:sparse() == 0)

-- Values below 256 ns have a bucket each, so everything here is exact.
local small = Histogram.new()
for _, ns in ipairs({ 10, 20, 30, 40, 40 }) do
    small:add(ns)
end
assert(small:count() == 5 and small:min() == 10 and small:max() == 40)
assert(small:mean() == 28)
assert(math.abs(small:stddev() - math.sqrt((18 ^ 2 + 8 ^ 2 + 2 ^ 2 + 12 ^ 2 + 12 ^ 2) / 5)) < 1e-9)
local percentiles = { [0] = 10, [20] = 10, [20.5] = 20, [50] = 30, [60] = 30, [61] = 40, [100] = 40 }
for percent, value in pairs(percentiles) do
    assert(small:percentile(percent) == value, percent .. "% is " .. tostring(small:percentile(percent)))
end
local sparse = small:sparse()
assert(#sparse == 4 and sparse[4][1] == 40 and sparse[4][2] == 2, "sparse list")

-- Merge: with another Histogram and with a bare record (what an engine holds).
local large = Histogram.new()
for ns = 1000, 2000000, 997 do
    large:add(ns)
end
local merged = Histogram.new()
merged:merge(small)
merged:merge(large.obj)
local whole = Histogram.new()
for _, ns in ipairs({ 10, 20, 30, 40, 40 }) do
    whole:add(ns)
end
for ns = 1000, 2000000, 997 do
    whole:add(ns)
end
local copy = Histogram.copy(whole.obj)
for _, h in ipairs({ merged, copy }) do
    assert(h:count() == whole:count() and h:min() == whole:min() and h:max() == whole:max())
    assert(h:mean() == whole:mean() and h:stddev() == whole:stddev())
    for _, percent in ipairs({ 1, 50, 90, 99, 99.9 }) do
        assert(h:percentile(percent) == whole:percentile(percent), percent)
    end
end

-- The sparse list with its stats rebuilds the same histogram; without them
-- min and max fall back to the outer bucket bounds.
local rebuilt = assert(Histogram.from_sparse(whole:sparse(), whole:stats()))
assert(rebuilt:count() == whole:count() and rebuilt:min() == whole:min() and rebuilt:max() == whole:max())
assert(rebuilt:mean() == whole:mean() and rebuilt:stddev() == whole:stddev())
for _, percent in ipairs({ 0, 1, 50, 99, 100 }) do
    assert(rebuilt:percentile(percent) == whole:percentile(percent), percent)
end
local bare = assert(Histogram.from_sparse(whole:sparse()))
local top = Histogram.bucket(whole:max())
assert(bare:min() == 10 and bare:max() == Histogram.bucket_high(top))
assert(bare:percentile(50) == whole:percentile(50))
assert(math.abs(bare:mean() - whole:mean()) / whole:mean() < 0.01)

-- Damaged lists name what is wrong instead of writing outside the buckets.
local refused = {
    { { { -1, 1 } }, nil, "bucket index is not one of 0..3839" },
    { { { Histogram.BUCKETS, 1 } }, nil, "bucket index" },
    { { { 1.5, 1 } }, nil, "bucket index" },
    { { { "1", 1 } }, nil, "bucket index" },
    { { { 1, -2 } }, nil, "count is not a whole number" },
    { { { 1, 0.5 } }, nil, "count is not a whole number" },
    { { 7 }, nil, "entry 1" },
    { "buckets", nil, "not a list" },
    { { { 1, 2 } }, { count = 3, min_ns = 1, max_ns = 1, sum_ns = 2, sum_sq_ns = 2 }, "does not match" },
    { { { 1, 2 } }, { count = 2, min_ns = 1, max_ns = -1, sum_ns = 2, sum_sq_ns = 2 }, "max_ns is not" },
    { { { 1, 2 } }, { count = 2, min_ns = 5, max_ns = 1, sum_ns = 2, sum_sq_ns = 2 }, "above its max" },
    { { { 1, 2 } }, { count = 2, min_ns = 1, max_ns = 1, sum_ns = 1 / 0, sum_sq_ns = 2 }, "sum_ns is not" },
}
for _, case in ipairs(refused) do
    local histogram, why = Histogram.from_sparse(case[1], case[2])
    assert(histogram == nil and why and why:find(case[3], 1, true), tostring(why) .. " / " .. case[3])
end
print("histogram ok")
