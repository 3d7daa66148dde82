-- IP split on the read+decode pipeline, push use: fpcap -> layer -> sink, or
-- fpcap -> layer -> ipsplit -> one of four sinks (no script code per packet).
--   tarvex ipsplit_push.lua FILE SINK_LIBRARY plain|ipsplit|random
--   prints "<mode> <packets> <seconds>"
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local IpSplit = require("tarvex.filter.ipsplit")
local ffi = require("ffi")
local C = ffi.C

local file = assert(arg[2], "FILE")
local library = ffi.load(assert(arg[3], "SINK_LIBRARY"))
local mode = assert(arg[4], "MODE")
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

local sinks = {}
local function sink()
    local record = ffi.new("bench_sink_t")
    sinks[#sinks + 1] = record
    return { receive = function() return library.bench_sink_receiver(), record end }
end

local input, layer = Fpcap.new(), Layer.new()
input:fadvise_sequential()
assert(input:open(file) == 0, "cannot open " .. file)
input:receiver(layer)
if mode == "plain" then
    layer:receiver(sink())
else
    local ipsplit = IpSplit.new()
    if mode == "random" then
        ipsplit:random(1)
    end
    for _ = 1, 4 do
        ipsplit:receiver(sink())
    end
    layer:receiver(ipsplit)
end
local start = now()
assert(input:run() == 0)
local seconds = now() - start
local type_sum = 0
for _, record in ipairs(sinks) do
    type_sum = type_sum + tonumber(record.type_sum)
end
assert(type_sum == 40 * input:packets(), "not every frame reached a sink as a payload")
print(string.format("%s %d %.6f", mode, input:packets(), seconds))
