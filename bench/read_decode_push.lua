-- Read+decode, push use: the PCAP reader's run pushes every frame into the
-- layer decoder, which pushes each result into a C sink (no script code per
-- packet).
--   tarvex read_decode_push.lua FILE SINK_LIBRARY     prints "push <packets> <seconds>"
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
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

local input, layer = Fpcap.new(), Layer.new()
input:fadvise_sequential()
assert(input:open(file) == 0, "cannot open " .. file)
input:receiver(layer)
layer:receiver(receiver)
local start = now()
assert(input:run() == 0)
local seconds = now() - start
-- Every frame of the benchmark file decodes to a payload record.
assert(tonumber(sink.type_sum) == 40 * input:packets(), "not every frame decoded to a payload")
print(string.format("push %d %.6f", input:packets(), seconds))
