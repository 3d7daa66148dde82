-- Synthetic replay measurements, shaped as a worker's engine hands them
-- over, from a list of queries with known outcomes, so that tests know every
-- number a result should show.
--   package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
--   local synthetic = require("measurements")
--   local queries = synthetic.queries(2000, 1700000000)
--   local worker = synthetic.measure(queries, function(q) return q.client % 2 == 0 end)
local Histogram = require("tarvex.lib.histogram")

local synthetic = {}

-- count queries over a few wall-clock seconds from `start`: most answered
-- NOERROR with latencies from 20 us to 80 ms, some NXDOMAIN and SERVFAIL,
-- some timed out, a few not sent. Deterministic.
function synthetic.queries(count, start)
    local list, state = {}, 12345
    -- Park-Miller: the products stay exact in a double.
    local function random(limit)
        state = state * 16807 % 2147483647
        return state % limit
    end
    for position = 1, count do
        local query = { client = random(64), second = start + math.floor((position - 1) * 4 / count) }
        local fate = random(100)
        if fate < 3 then
            query.outcome = "timed_out"
        elseif fate < 4 then
            query.outcome = "not_sent"
        else
            query.outcome = "answered"
            query.rcode = fate < 10 and 3 or fate < 12 and 2 or 0
            -- Two clusters, so percentiles land in different decades.
            query.latency_ns = fate < 80 and 20000 + random(200000) or 5000000 + random(75000000)
            query.truncated = fate == 50
        end
        list[position] = query
    end
    return list
end

-- One worker's measurement of the queries `mine` picks (all by default).
function synthetic.measure(queries, mine)
    local counters = { read = 0, sent = 0, answered = 0, timed_out = 0, not_sent = 0, unmatched = 0,
        truncated = 0, reconnects = 0, resent = 0, send_errors = 0, receive_errors = 0, sockets_opened = 0 }
    local rcodes, histogram, seconds, clients = {}, Histogram.new(), {}, {}
    local started, finished
    for _, query in ipairs(queries) do
        if not mine or mine(query) then
            counters.read = counters.read + 1
            counters[query.outcome] = counters[query.outcome] + 1
            if query.outcome ~= "not_sent" then
                counters.sent = counters.sent + 1
                if not clients[query.client] then
                    clients[query.client] = true
                    counters.sockets_opened = counters.sockets_opened + 1
                end
                local slot = seconds[query.second]
                if not slot then
                    slot = { second = query.second, sent = 0, answered = 0, timed_out = 0, rcodes = {},
                        latency = Histogram.new() }
                    seconds[query.second] = slot
                end
                slot.sent = slot.sent + 1
                started = math.min(started or query.second, query.second)
                finished = math.max(finished or query.second + 1, query.second + 1)
                if query.outcome == "answered" then
                    slot.answered = slot.answered + 1
                    slot.rcodes[query.rcode] = (slot.rcodes[query.rcode] or 0) + 1
                    slot.latency:add(query.latency_ns)
                    rcodes[query.rcode] = (rcodes[query.rcode] or 0) + 1
                    histogram:add(query.latency_ns)
                    counters.truncated = counters.truncated + (query.truncated and 1 or 0)
                else
                    slot.timed_out = slot.timed_out + 1
                end
            end
        end
    end
    local series = {}
    for _, slot in pairs(seconds) do
        slot.histogram = slot.latency:sparse()
        slot.latency = nil
        series[#series + 1] = slot
    end
    table.sort(series, function(a, b) return a.second < b.second end)
    return { counters = counters, rcodes = rcodes, histogram = histogram, series = series,
        started = started, finished = finished }
end

-- What the replay tool says about the run.
function synthetic.meta(shard)
    return {
        tool = "replay", version = "1.4.0",
        capture = { path = "/captures/day.pcap", packets = 2000, bytes = 180000, first_ts = 1699990000.5,
            last_ts = 1699990004.25 },
        settings = { server = "127.0.0.1", port = 53, transport = "udp", timing = "keep", clients = "capture",
            window = 1000, wait = 2, qps = 0, loop = 1, duration = 0, threads = 2 },
        shard = shard,
    }
end

return synthetic
