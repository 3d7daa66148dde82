-- Histogram: latency in nanoseconds, log-linear buckets (each at most 0.78%
-- of its lowest value wide from 256 ns to 68.7 s), merged exactly.
--   local latency = Histogram.new()
--   latency:add(ns)                      -- or the engine fills latency.obj
--   total:merge(latency)
--   print(total:percentile(99), total:mean(), total:stddev())
--   local copy = Histogram.from_sparse(total:sparse(), total:stats())
-- min, max, mean, stddev and percentile are nil while the histogram is empty.
module("tarvex.lib.histogram", package.seeall)

require("tarvex.lib.histogram_h")
local ffi = require("ffi")
local C = ffi.C

local BUCKETS = C.LIB_HISTOGRAM_BUCKETS

Histogram = { BUCKETS = BUCKETS }
local meta = { __index = Histogram }
local record = ffi.typeof("lib_histogram_t")

function Histogram.new()
    local self = setmetatable({ obj = ffi.new(record) }, meta)
    C.lib_histogram_init(self.obj)
    return self
end

-- A histogram holding a copy of a record (a pointer to one, or the record),
-- such as the one an engine filled during its run.
function Histogram.copy(source)
    local self = Histogram.new()
    C.lib_histogram_merge(self.obj, source)
    return self
end

function Histogram:add(ns)
    C.lib_histogram_add(self.obj, ns)
end

-- other: a Histogram or a lib_histogram_t record.
function Histogram:merge(other)
    C.lib_histogram_merge(self.obj, getmetatable(other) == meta and other.obj or other)
end

-- What `self` holds beyond `earlier` (a histogram of the same values
-- taken before): the bucket counts of the values added since. Min and max
-- stay those of `self`, the sums are told apart.
function Histogram:difference(earlier)
    local out = Histogram.new()
    local a, b = self.obj, getmetatable(earlier) == meta and earlier.obj or earlier
    local count = 0ULL
    for i = 0, BUCKETS - 1 do
        local d = a.buckets[i] - b.buckets[i]
        out.obj.buckets[i] = d
        count = count + d
    end
    out.obj.count = count
    if count > 0 then
        out.obj.min_ns, out.obj.max_ns = a.min_ns, a.max_ns
        out.obj.sum_ns, out.obj.sum_sq_ns = a.sum_ns - b.sum_ns, a.sum_sq_ns - b.sum_sq_ns
    end
    return out
end

function Histogram:count()
    return tonumber(self.obj.count)
end

local function unless_empty(self, value)
    if self.obj.count == 0 then
        return nil
    end
    return value
end

function Histogram:min()
    return unless_empty(self, tonumber(self.obj.min_ns))
end

function Histogram:max()
    return unless_empty(self, tonumber(self.obj.max_ns))
end

function Histogram:mean()
    return unless_empty(self, self.obj.sum_ns / tonumber(self.obj.count))
end

-- Of the population recorded (not of a sample).
function Histogram:stddev()
    if self.obj.count == 0 then
        return nil
    end
    local count = tonumber(self.obj.count)
    local mean = self.obj.sum_ns / count
    local variance = self.obj.sum_sq_ns / count - mean * mean
    return variance > 0 and math.sqrt(variance) or 0
end

-- percent in 0..100; 0 and 100 give the exact min and max.
function Histogram:percentile(percent)
    return unless_empty(self, tonumber(C.lib_histogram_percentile(self.obj, percent)))
end

function Histogram.bucket(ns)
    return tonumber(C.lib_histogram_bucket(ns))
end

function Histogram.bucket_low(index)
    return tonumber(C.lib_histogram_bucket_low(index))
end

function Histogram.bucket_high(index)
    return tonumber(C.lib_histogram_bucket_high(index))
end

-- The non-empty buckets, ascending: { {index, count}, ... }.
function Histogram:sparse()
    local list = {}
    local buckets = self.obj.buckets
    for index = 0, BUCKETS - 1 do
        local count = buckets[index]
        if count ~= 0 then
            list[#list + 1] = { index, tonumber(count) }
        end
    end
    return list
end

-- What the buckets do not hold: { count=, min_ns=, max_ns=, sum_ns=, sum_sq_ns= }.
function Histogram:stats()
    local obj = self.obj
    return {
        count = tonumber(obj.count),
        min_ns = tonumber(obj.min_ns),
        max_ns = tonumber(obj.max_ns),
        sum_ns = obj.sum_ns,
        sum_sq_ns = obj.sum_sq_ns,
    }
end

local function whole(value, low, high)
    return type(value) == "number" and value == math.floor(value) and value >= low and value <= high
end

-- Largest count a Lua number holds exactly.
local max_count = 2 ^ 53

-- The histogram a sparse list describes; `stats` (as from stats()) restores
-- the exact min, max and sums. Without it they are taken from the buckets:
-- min and max are the outer bounds of the outer buckets, the sums assume
-- every value sat at its bucket's midpoint. Lists read from files are not
-- trusted: a bad entry gives nil and a message naming it.
function Histogram.from_sparse(list, stats)
    if type(list) ~= "table" then
        return nil, "histogram buckets are not a list"
    end
    local self = Histogram.new()
    local obj = self.obj
    local count, sum, sum_sq = 0, 0, 0
    local lowest, highest
    for position, entry in ipairs(list) do
        local index, bucket_count = type(entry) == "table" and entry[1], type(entry) == "table" and entry[2]
        if not whole(index, 0, BUCKETS - 1) then
            return nil, string.format("histogram entry %d: bucket index is not one of 0..%d", position, BUCKETS - 1)
        end
        if not whole(bucket_count, 0, max_count) then
            return nil, string.format("histogram entry %d: count is not a whole number >= 0", position)
        end
        obj.buckets[index] = obj.buckets[index] + bucket_count
        if bucket_count > 0 then
            local low, high = Histogram.bucket_low(index), Histogram.bucket_high(index)
            local middle = low + math.floor((high - low) / 2)
            count = count + bucket_count
            sum = sum + middle * bucket_count
            sum_sq = sum_sq + middle * middle * bucket_count
            lowest = (lowest == nil or low < lowest) and low or lowest
            highest = (highest == nil or high > highest) and high or highest
        end
    end
    if stats then
        if type(stats) ~= "table" or stats.count ~= count then
            return nil, string.format("histogram count %s does not match its buckets (%d)",
                type(stats) == "table" and tostring(stats.count) or "?", count)
        end
        for _, name in ipairs({ "min_ns", "max_ns" }) do
            if count > 0 and not whole(stats[name], 0, 2 ^ 63) then
                return nil, "histogram " .. name .. " is not a whole number of nanoseconds"
            end
        end
        for _, name in ipairs({ "sum_ns", "sum_sq_ns" }) do
            if count > 0 and not (type(stats[name]) == "number" and stats[name] >= 0 and stats[name] < math.huge) then
                return nil, "histogram " .. name .. " is not a number >= 0"
            end
        end
        if count > 0 then
            lowest, highest, sum, sum_sq = stats.min_ns, stats.max_ns, stats.sum_ns, stats.sum_sq_ns
            if lowest > highest then
                return nil, "histogram min_ns is above its max_ns"
            end
        end
    end
    if count > 0 then
        obj.count, obj.min_ns, obj.max_ns = count, lowest, highest
        obj.sum_ns, obj.sum_sq_ns = sum, sum_sq
    end
    return self
end

return Histogram
