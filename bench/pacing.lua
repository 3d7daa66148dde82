-- Pacing scenario, tarvex side: packet records pushed through the timing
-- filter in keep or fixed mode into a component sink, measuring how late each
-- packet leaves against the schedule of the mode.
--
--   tarvex pacing.lua keep|fixed COUNT GAP_NS SINK_LIBRARY     prints "p50 NS p99 NS"
local ffi = require("ffi")
local Timing = require("tarvex.filter.timing")
require("tarvex.core.object.pcap_h")

local mode, count, gap = arg[2], assert(tonumber(arg[3])), assert(tonumber(arg[4]))
local sink_lib = ffi.load(assert(arg[5], "SINK_LIBRARY"))
ffi.cdef [[
typedef struct bench_sink { uint64_t type_sum; } bench_sink_t;
core_receiver_t bench_sink_receiver(void);
struct pacing_timespec { long sec; long nsec; };
int clock_gettime(int clock, struct pacing_timespec* ts);
]]
local ts = ffi.new("struct pacing_timespec")
local function now_ns()
    ffi.C.clock_gettime(1, ts)
    return tonumber(ts.sec) * 1e9 + tonumber(ts.nsec)
end

local packets = ffi.new("core_object_pcap_t[?]", count + 1)
for k = 0, count do
    local at = k * gap
    packets[k].obj_type = 1
    packets[k].ts.sec = 1700000000 + math.floor(at / 1e9)
    packets[k].ts.nsec = at % 1e9
end

local sink_record = ffi.new("bench_sink_t")
local sink = {}
function sink.receive() return sink_lib.bench_sink_receiver(), sink_record end

local timing = Timing.new()
if mode == "keep" then
    timing:keep()
else
    timing:fixed(gap)
end
timing:receiver(sink)
local recv, ctx = timing:receive()

-- Preallocated so that neither table growth nor the collector runs while
-- the schedule is measured.
local late_ns = ffi.new("double[?]", count + 1)
recv(ctx, ffi.cast("core_object_t*", packets[0]))
local start = now_ns()
local left = start
for k = 1, count do
    local due = mode == "keep" and start + k * gap or left + gap
    recv(ctx, ffi.cast("core_object_t*", packets[k]))
    left = now_ns()
    late_ns[k] = left - due
end
local late = {}
for k = 1, count do
    late[k] = late_ns[k]
end
table.sort(late)
print(string.format("p50 %d p99 %d", late[math.floor(count / 2) + 1], late[math.floor(count * 99 / 100) + 1]))
