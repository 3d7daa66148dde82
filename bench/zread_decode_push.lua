-- Mapped and compressed read+decode, push use: a reader's run pushes every
-- frame into the layer decoder, which pushes each result into a C sink (no
-- script code per packet).
--   tarvex zread_decode_push.lua READER KIND FILE SINK_LIBRARY
--     READER: fpcap, mmpcap, zpcap, zmmpcap or a pcapng reader; KIND: lz4, zstd, gzip, lzma or -
--   prints "<reader> <packets> <seconds>"
local Layer = require("tarvex.filter.layer")
local ffi = require("ffi")
local C = ffi.C

local reader_name, kind, file = assert(arg[2], "READER"), assert(arg[3], "KIND"), assert(arg[4], "FILE")
local library = ffi.load(assert(arg[5], "SINK_LIBRARY"))
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

local input = require("tarvex.input." .. reader_name).new()
if kind ~= "-" then
    input[kind](input)
end
assert(input:open(file) == 0, "cannot open " .. file)
local layer = Layer.new()
input:receiver(layer)
layer:receiver(receiver)
local start = now()
assert(input:run() == 0)
local seconds = now() - start
assert(tonumber(sink.type_sum) == 40 * input:packets(), "not every frame decoded to a payload")
print(string.format("%s %d %.6f", reader_name, input:packets(), seconds))
