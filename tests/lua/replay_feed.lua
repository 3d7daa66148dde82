-- The replay feed between one reader and the lanes of its workers, on the
-- replay captures (IPv4 and IPv6, UDP and TCP, queries among responses and
-- other datagrams, queries of 700 and 1,500 bytes): every query reaches the
-- lane of its client's turn in capture order, copied whole (bytes, capture
-- time, addresses, ports) while the reader has long moved on; a full lane
-- holds the reader back without losing the query it stopped at; a lane
-- tells "nothing yet" from its end; a host's shard gets its turns only.
-- fixtures: replay
local ffi = require("ffi")
local C = ffi.C
local Capture = require("tarvex.input.capture")
local Decode = require("tarvex.tools.lib.decode")
local Feed = require("tarvex.output.replay_feed")
local Object = require("tarvex.core.objects")
for _, layer in ipairs({ "pcap", "ip", "ip6", "udp", "tcp", "payload" }) do
    require("tarvex.core.object." .. layer .. "_h")
end

local dir = os.getenv("TEST_FIXTURE_DIR") .. "/replay/"

local function check(cond, fmt, ...)
    if not cond then
        error(string.format(fmt, ...), 2)
    end
end

-- A query as the replayer reads it, or nil: { bytes, ts, client, ports }.
local function describe(obj)
    if obj == nil or obj.obj_type ~= Object.PAYLOAD then
        return nil
    end
    local payload = ffi.cast("const core_object_payload_t*", obj)
    local transport = payload.obj_prev
    if transport == nil or (transport.obj_type ~= Object.UDP and transport.obj_type ~= Object.TCP) then
        return nil
    end
    local ports = ffi.cast(transport.obj_type == Object.UDP and "const core_object_udp_t*" or "const core_object_tcp_t*",
        transport)
    local bytes = ffi.string(payload.payload, payload.len)
    if ports.dport ~= 53 or #bytes < 12 or bit.band(bytes:byte(3), 0x80) ~= 0 then
        return nil
    end
    local client = "none"
    local network = transport.obj_prev
    if network ~= nil and network.obj_type == Object.IP then
        client = "4:" .. ffi.string(ffi.cast("const core_object_ip_t*", network).src, 4)
    elseif network ~= nil and network.obj_type == Object.IP6 then
        client = "6:" .. ffi.string(ffi.cast("const core_object_ip6_t*", network).src, 16)
    end
    local below = network
    while below ~= nil and below.obj_type ~= Object.PCAP do
        below = below.obj_prev
    end
    local ts = below and ffi.cast("const core_object_pcap_t*", below).ts
    return { bytes = bytes, client = client, ports = transport.obj_type .. ":" .. ports.sport .. ">" .. ports.dport,
        ts = ts and string.format("%d.%09d", tonumber(ts.sec), tonumber(ts.nsec)) or "none" }
end

-- The queries of a capture in order, each with its client's turn (clients
-- numbered by first query), and the count of other records.
local function expected(path)
    local input = assert(Capture.open(path))
    local chain = Decode.pull(input, 53, input)
    local produce, ctx = chain:produce()
    local queries, turns, others = {}, {}, 0
    while true do
        local before = tonumber(input.obj.pkts)
        local obj = produce(ctx)
        if obj == nil and tonumber(input.obj.pkts) == before then
            break
        end
        if obj ~= nil then
            local query = describe(obj)
            if query then
                if not turns[query.client] then
                    turns[query.client] = #turns + 1
                    turns[#turns + 1] = query.client
                end
                query.turn = turns[query.client] - 1
                queries[#queries + 1] = query
            else
                others = others + 1
            end
        end
    end
    return queries, others
end

local function same(label, got, want)
    for _, field in ipairs({ "bytes", "client", "ports", "ts" }) do
        check(got[field] == want[field], "%s: %s differs (%d bytes against %d)", label, field, #tostring(got[field]),
            #tostring(want[field]))
    end
end

-- Feeds a capture through `lanes` lanes of `capacity`, draining every lane
-- only when the feed stops on a full one; checks each query against the
-- capture's own, in order, on the lane its turn gives.
local function run(file, lanes, capacity, shard_index, shard_count)
    local label = string.format("%s, %d lanes of %d, shard %d/%d", file, lanes, capacity, shard_index, shard_count)
    local want, others = expected(dir .. file)
    local per_lane, kept = {}, 0
    for lane = 1, lanes do
        per_lane[lane] = {}
    end
    local hosts = shard_count
    for _, query in ipairs(want) do
        local turn = query.turn % (hosts * lanes)
        if turn % hosts == shard_index then
            local lane = math.floor(turn / hosts) + 1
            per_lane[lane][#per_lane[lane] + 1] = query
            kept = kept + 1
        end
    end

    local feed = Feed.new(lanes, capacity)
    feed:port(53)
    feed:shard(shard_index, shard_count)
    local input = assert(Capture.open(dir .. file))
    feed:input(Decode.pull(input, 53, input), input)
    local taken, fulls = {}, 0
    for lane = 1, lanes do
        taken[lane] = 0
    end
    local function drain(lane)
        local _, ctx, waiting = feed:lane(lane)
        while true do
            local obj = C.output_replay_feed_produce(ctx)
            if obj == nil then
                return waiting[0]
            end
            taken[lane] = taken[lane] + 1
            local want_query = per_lane[lane][taken[lane]]
            check(want_query, "%s: lane %d got a query more than its %d", label, lane, #per_lane[lane])
            same(string.format("%s: lane %d query %d", label, lane, taken[lane]), describe(obj), want_query)
        end
    end
    while true do
        local status = feed:pump(10)
        if status == "ended" then
            break
        end
        check(status == "full", "%s: pump gave %s", label, status)
        fulls = fulls + 1
        for lane = 1, lanes do
            check(drain(lane) == 1, "%s: lane %d ended while the feed was open", label, lane)
        end
    end
    -- Open and empty: nothing yet, and not the end.
    for lane = 1, lanes do
        check(drain(lane) == 1, "%s: lane %d ended before the close", label, lane)
    end
    feed:close()
    for lane = 1, lanes do
        check(drain(lane) == 0, "%s: lane %d did not end after the close", label, lane)
        check(taken[lane] == #per_lane[lane], "%s: lane %d got %d of its %d queries", label, lane, taken[lane],
            #per_lane[lane])
    end
    local counts = feed:counts()
    check(counts.queries == kept and counts.elsewhere == #want - kept and counts.skipped == others,
        "%s: counted %d handed, %d elsewhere, %d skipped; want %d, %d, %d", label, counts.queries, counts.elsewhere,
        counts.skipped, kept, #want - kept, others)
    return fulls
end

-- { capture, lanes, capacity, shard index, shard count }
for _, case in ipairs({
    { "padded.pcap", 2, 4, 0, 1 },       -- large queries, over UDP and TCP; lanes full every few queries
    { "clients.pcap", 3, 8, 0, 1 },      -- IPv4 and IPv6 clients
    { "queries.pcap", 2, 4096, 0, 1 },   -- responses and other datagrams among the queries
    { "clients.pcap", 2, 16, 1, 2 },     -- the second of two hosts
    { "queries.pcap", 3, 64, 2, 3 },
}) do
    local fulls = run(unpack(case))
    check(case[3] > 64 or fulls > 0, "%s: the lanes never filled", case[1])
end
print("replay feed cases pass")
