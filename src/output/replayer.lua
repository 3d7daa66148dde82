-- Replayer: a capture's queries to one server, a socket per captured client
-- (or N shared), paced, every answer matched to its own query and timed.
--   local rp = Replayer.new()
--   rp:transport("tcp")  rp:pacing("rate", 5000)  rp:window(1000)  rp:wait(2)
--   if rp:connect("127.0.0.1", "53") ~= 0 then ... end
--   rp:input(chain, reader)                -- decoded records; the reader's count tells the end
--   rp:feed(feed, k)                       -- or lane k of a replay feed, filled by another thread
--   repeat
--       local status = rp:run(0.2)         -- seconds of running at most
--   until status == "done"                 -- "input ended": rp:input(nil), or a new one
--   rp:counts(), rp:latency(), rp:seconds()   -- counters, the run's histogram, each second's figures
module("tarvex.output.replayer", package.seeall)

require("tarvex.output.replayer_h")
local ffi = require("ffi")
local C = ffi.C
local Histogram = require("tarvex.lib.histogram")

Replayer = {}
local meta = { __index = Replayer }

local transports = {
    udp = C.OUTPUT_REPLAYER_UDP, tcp = C.OUTPUT_REPLAYER_TCP, tls = C.OUTPUT_REPLAYER_TLS, doh = C.OUTPUT_REPLAYER_DOH,
}
local pacings = {
    fast = C.OUTPUT_REPLAYER_FAST, keep = C.OUTPUT_REPLAYER_KEEP, multiply = C.OUTPUT_REPLAYER_MULTIPLY,
    fixed = C.OUTPUT_REPLAYER_FIXED, realtime = C.OUTPUT_REPLAYER_REALTIME, rate = C.OUTPUT_REPLAYER_RATE,
}
local statuses = {
    [tonumber(C.OUTPUT_REPLAYER_DONE)] = "done", [tonumber(C.OUTPUT_REPLAYER_RUNNING)] = "running",
    [tonumber(C.OUTPUT_REPLAYER_INPUT_ENDED)] = "input ended", [tonumber(C.OUTPUT_REPLAYER_FAILED)] = "failed",
}

Replayer.COUNTERS = {
    "read", "sent", "answered", "timed_out", "not_sent", "unmatched", "malformed", "truncated", "reconnects",
    "resent", "send_errors", "receive_errors", "connect_errors", "sockets_opened", "sockets_evicted", "id_waits",
    "skipped", "http_errors",
}

function Replayer.new()
    local self = setmetatable({ obj = ffi.gc(C.output_replayer_new(), C.output_replayer_free) }, meta)
    return self
end

-- For Thread:push: the worker's state gets the same record, which this
-- state keeps and frees.
function Replayer:share()
    return self.obj, "output_replayer_t*", "tarvex.output.replayer_h"
end

-- A class object over a record another state owns (what a thread popped).
function Replayer.wrap(record)
    return setmetatable({ obj = record }, meta)
end

function Replayer:log()
    if self == nil or self == Replayer then
        return C.output_replayer_log()
    end
    return self.obj._log
end

function Replayer:transport(name)
    self.obj.transport = assert(transports[name], "unknown transport")
end

-- DoH: { get = bool, h2c = bool, path = "/dns-query", verify = bool, ca = FILE, server_name = NAME }.
-- The strings are kept here for as long as the record may read them.
function Replayer:doh(options)
    self._strings = { options.path, options.ca, options.server_name }
    self.obj.doh_get = options.get and 1 or 0
    self.obj.doh_h2c = options.h2c and 1 or 0
    self.obj.verify = options.verify and 1 or 0
    self.obj.doh_path = options.path
    self.obj.ca_file = options.ca
    self.obj.server_name = options.server_name
end

-- mode: fast, keep, realtime; multiply with a factor, fixed with seconds
-- between queries, rate with queries per second.
function Replayer:pacing(mode, value)
    self.obj.pacing = assert(pacings[mode], "unknown pacing")
    if mode == "multiply" then
        self.obj.multiply = value
    elseif mode == "fixed" then
        self.obj.fixed_ns = value * 1e9
    elseif mode == "rate" then
        self.obj.rate = value
    end
end

-- A new rate for rate pacing, from now on; safe from another thread.
function Replayer:rate(qps)
    C.output_replayer_set_rate(self.obj, qps)
end

function Replayer:max_gap(seconds)
    self.obj.max_gap_ns = seconds * 1e9
end

function Replayer:window(n)
    self.obj.window = n
end

function Replayer:wait(seconds)
    self.obj.wait_ns = seconds * 1e9
end

-- 0: a socket per captured client; N: N sockets shared in turn.
function Replayer:clients(n)
    self.obj.clients = n
end

function Replayer:idle(seconds)
    self.obj.idle_ns = seconds * 1e9
end

function Replayer:queries_per_conn(n)
    self.obj.queries_per_conn = n
end

function Replayer:max_sockets(n)
    self.obj.max_sockets = n
end

function Replayer:dns_port(port)
    self.obj.dns_port = port
end

-- Adds a server (0 first, then 1, ...): every query goes to each.
function Replayer:connect(host, port)
    return C.output_replayer_connect(self.obj, host, tostring(port))
end

-- A C function told how each query ended at each server, with its context
-- (a component's record): set before the run.
function Replayer:on_done(fn, ctx)
    self.obj.on_done = fn
    self.obj.on_done_ctx = ctx
end

-- A server's sent, answered, timed_out and not_sent; nil when there is none.
function Replayer:target_counts(target)
    local out = ffi.new("output_replayer_target_counts_t")
    if C.output_replayer_target_counts(self.obj, target, out) ~= 0 then
        return nil
    end
    return { sent = tonumber(out.sent), answered = tonumber(out.answered), timed_out = tonumber(out.timed_out),
        not_sent = tonumber(out.not_sent) }
end

-- The address of a reader record's packet count, whether the class holds
-- the record or a pointer to it.
function Replayer.packet_count(rec)
    local ok, offset = pcall(ffi.offsetof, ffi.typeof(rec), "pkts")
    if not ok or offset == nil then
        offset = ffi.offsetof(ffi.typeof(rec[0]), "pkts")
    end
    return ffi.cast("const size_t*", ffi.cast("const char*", rec) + offset)
end

-- chain: a class object with produce() (a reader, or a decoding chain);
-- reader: the object whose packet count tells the input's end. nil: no more.
function Replayer:input(chain, reader)
    if chain == nil then
        self._input = nil
        C.output_replayer_input(self.obj, nil, nil, nil)
        return
    end
    local produce, ctx = chain:produce()
    -- Kept alive for the run: the engine holds raw pointers into them.
    self._input = { chain, reader }
    C.output_replayer_input(self.obj, produce, ctx, Replayer.packet_count(reader.obj))
end

-- A lane of a replay feed (tarvex.output.replay_feed) as the input: it may
-- run dry for a while, and ends when the feed closed and it is drained.
function Replayer:feed(feed, index)
    local produce, lane, waiting = feed:lane(index)
    self._input = { feed }
    C.output_replayer_input_waiting(self.obj, produce, lane, waiting)
end

function Replayer:run(seconds)
    return statuses[tonumber(C.output_replayer_run(self.obj, seconds * 1e9))]
end

function Replayer:stop()
    self.obj.stopping = 1
end

-- Each wall-clock second with activity, in order:
-- { second, sent, answered, timed_out, not_sent, rcodes = {[code] = n}, histogram = sparse list }.
function Replayer:seconds()
    local out = {}
    local s = ffi.new("output_replayer_second_t")
    for i = 0, tonumber(C.output_replayer_seconds(self.obj)) - 1 do
        C.output_replayer_second(self.obj, i, s)
        local rcodes = {}
        for code = 0, C.OUTPUT_REPLAYER_RCODES - 1 do
            if s.rcodes[code] > 0 then
                rcodes[code] = tonumber(s.rcodes[code])
            end
        end
        out[#out + 1] = {
            second = tonumber(s.second), sent = tonumber(s.sent), answered = tonumber(s.answered),
            timed_out = tonumber(s.timed_out), not_sent = tonumber(s.not_sent), rcodes = rcodes,
            histogram = Histogram.copy(s.latency):sparse(),
        }
    end
    return out
end

function Replayer:shard(index, count)
    self.obj.shard_index = index
    self.obj.shard_count = count
end

-- The counters by name, and the rcodes as number -> count.
function Replayer:counts()
    local c = self.obj.counts
    local out = {}
    for _, name in ipairs(Replayer.COUNTERS) do
        out[name] = tonumber(c[name])
    end
    local rcodes = {}
    for code = 0, C.OUTPUT_REPLAYER_RCODES - 1 do
        if c.rcodes[code] > 0 then
            rcodes[code] = tonumber(c.rcodes[code])
        end
    end
    return out, rcodes
end

function Replayer:latency()
    return Histogram.copy(self.obj.latency)
end

function Replayer:in_flight()
    return tonumber(C.output_replayer_in_flight(self.obj))
end

function Replayer:open_sockets()
    return tonumber(C.output_replayer_open_sockets(self.obj))
end

function Replayer.raise_fd_limit()
    return tonumber(C.output_replayer_raise_fd_limit())
end

return Replayer
