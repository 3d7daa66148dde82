-- dnstap read+parse, push use: the dnstap reader's run pushes every message
-- through its chain stage (packet, dnstap, IP, UDP and payload records) into
-- a C sink (no script code per message).
--   tarvex dnstap_read_push.lua FILE SINK_LIBRARY     prints "push <messages> <seconds>"
local Dnstap = require("tarvex.input.dnstap")
local ffi = require("ffi")
local C = ffi.C

local file = assert(arg[2], "FILE")
local library = ffi.load(assert(arg[3], "SINK_LIBRARY"))
ffi.cdef [[
typedef struct bench_sink { uint64_t type_sum; } bench_sink_t;
core_receiver_t bench_sink_receiver(void);
struct bench_timespec { long sec; long nsec; };
int clock_gettime(int clock, struct bench_timespec* ts);
]]

local function now()
    local ts = ffi.new("struct bench_timespec")
    C.clock_gettime(1, ts)
    return tonumber(ts.sec) + tonumber(ts.nsec) / 1e9
end

local sink = ffi.new("bench_sink_t")
local receiver = { receive = function() return library.bench_sink_receiver(), sink end }

local input = Dnstap.new()
input:fadvise_sequential()
assert(input:open(file) == 0, "cannot open " .. file)
local stage = input:chain()
stage:receiver(receiver)
input:receiver(stage)
local start = now()
assert(input:run() == 0)
local seconds = now() - start
assert(tonumber(sink.type_sum) == 40 * input:packets(), "not every message made a payload")
print(string.format("push %d %.6f", input:packets(), seconds))
