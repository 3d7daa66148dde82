-- A replay split over shards, checked against one unsharded run of the same
-- capture: what the tests of local shards and of a Slurm job both check.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local shardrun = require("shardrun")
--   local capture, known = shardrun.capture()      -- clients.pcap; known.clients, known.queries
--   local single = shardrun.single(capture, port, "-T keep")
--   shardrun.check_split(shards, known)            -- decoded shard-I.json results
--   shardrun.check_merged(merged, single, shards)
local sub = require("subprocess")
local Json = require("tarvex.tools.lib.json")

local shardrun = {}

local function fail(format, ...)
    error(string.format(format, ...), 0)
end

function shardrun.load(path)
    local text = sub.read(path)
    if text == "" then
        fail("%s: no result", path)
    end
    return assert(Json.decode(text))
end

-- The capture whose clients send several queries each, and its known counts.
function shardrun.capture()
    local dir = os.getenv("TEST_FIXTURE_DIR") .. "/shard_clients"
    local known = {}
    for name, count in sub.read(dir .. "/clients.txt"):gmatch("(%a+) (%d+)") do
        known[name] = tonumber(count)
    end
    assert(known.clients and known.queries, "no clients.txt in " .. dir)
    return dir .. "/clients.pcap", known, dir
end

-- The loopback unbound's port, or a skip when the fixture did not start it.
function shardrun.unbound_port()
    local port = sub.read(os.getenv("TEST_FIXTURE_DIR") .. "/unbound/port"):match("%d+")
    if not port then
        print("the loopback unbound is not running")
        os.exit(77)
    end
    return port
end

-- One unsharded run of the whole capture, as the reference.
function shardrun.single(capture, port, options)
    local code, _, err = sub.run(string.format("%s replay -q -r %s -p %s %s --json single.json", arg[0], capture,
        port, options))
    if code ~= 0 then
        fail("single run: exit %d, %s", code, err)
    end
    return shardrun.load("single.json")
end

-- Every query of the capture was read by exactly one shard, and each client
-- by one shard only: a client split over shards or threads would open a
-- socket in each, so the sockets would add up to more than the clients.
function shardrun.check_split(shards, known)
    local read, sockets = 0, 0
    for index, shard in ipairs(shards) do
        local q = shard.queries
        if q.read == 0 or q.answered + q.timed_out + q.not_sent ~= q.read then
            fail("shard %d: %s", index - 1, Json.encode(q))
        end
        read, sockets = read + q.read, sockets + shard.sockets.opened
    end
    if read ~= known.queries or sockets ~= known.clients then
        fail("shards read %d queries over %d client sockets; the capture has %d queries from %d clients", read,
            sockets, known.queries, known.clients)
    end
end

local COUNTED = { "read", "sent", "answered", "timed_out", "not_sent", "unmatched" }
local PERCENTILES = { "p50", "p90", "p99", "p999" }

-- The merge says, count for count, what the single run says. Latencies of
-- two runs differ, so those are checked for what a merge must give: bucket
-- counts that are the shards' sums, and percentiles that lie between the
-- shards' own, as a percentile of a union does
-- (within a bucket's width).
function shardrun.check_merged(merged, single, shards)
    for _, name in ipairs(COUNTED) do
        if merged.queries[name] ~= single.queries[name] then
            fail("queries.%s: merged %s, single run %s", name, merged.queries[name], single.queries[name])
        end
    end
    local rcodes = {}
    for name in pairs(single.rcodes) do
        rcodes[name] = true
    end
    for name in pairs(merged.rcodes) do
        rcodes[name] = true
    end
    for name in pairs(rcodes) do
        if merged.rcodes[name] ~= single.rcodes[name] then
            fail("rcode %s: merged %s, single run %s", name, tostring(merged.rcodes[name]),
                tostring(single.rcodes[name]))
        end
    end
    if merged.meta.shards ~= #shards or merged.histogram.count ~= merged.queries.answered then
        fail("merged meta.shards %s, histogram count %s for %d answered", tostring(merged.meta.shards),
            tostring(merged.histogram.count), merged.queries.answered)
    end
    local buckets = {}
    for _, shard in ipairs(shards) do
        for _, bucket in ipairs(shard.histogram.buckets) do
            buckets[bucket[1]] = (buckets[bucket[1]] or 0) + bucket[3]
        end
    end
    for _, bucket in ipairs(merged.histogram.buckets) do
        if buckets[bucket[1]] ~= bucket[3] then
            fail("bucket from %d ns: merged %d, shards %s", bucket[1], bucket[3], tostring(buckets[bucket[1]]))
        end
        buckets[bucket[1]] = nil
    end
    if next(buckets) then
        fail("bucket from %d ns of the shards is not in the merge", next(buckets))
    end
    for _, name in ipairs(PERCENTILES) do
        local value, low, high = merged.latency_us[name], math.huge, 0
        for _, shard in ipairs(shards) do
            low, high = math.min(low, shard.latency_us[name]), math.max(high, shard.latency_us[name])
        end
        -- Allowing for the buckets' width (0.78%).
        low, high = low * (1 - 0.0078), high * (1 + 0.0078)
        if type(value) ~= "number" or type(single.latency_us[name]) ~= "number" or value < low or value > high then
            fail("latency %s: merged %s, shards from %s to %s", name, tostring(value), low, high)
        end
    end
end

return shardrun
