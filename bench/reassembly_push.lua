-- Reassembly, push use: the PCAP reader pushes every frame into the layer
-- decoder and, with "reassemble", through the IP fragment and TCP stream
-- reassemblers, into a C sink (no script code per packet).
--   tarvex reassembly_push.lua FILE SINK_LIBRARY plain|reassemble
--     prints "<mode> <packets> <seconds> <objects handed to the sink> <DNS messages over TCP>"
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
local IpFrag = require("tarvex.filter.ipfrag")
local TcpStream = require("tarvex.filter.tcpstream")
local ffi = require("ffi")
local C = ffi.C

local file = assert(arg[2], "FILE")
local library = ffi.load(assert(arg[3], "SINK_LIBRARY"))
local mode = assert(arg[4], "plain|reassemble")
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
local objects = ffi.new("uint64_t[1]")

local input, layer = Fpcap.new(), Layer.new()
input:fadvise_sequential()
assert(input:open(file) == 0, "cannot open " .. file)
local tcpstream
if mode == "reassemble" then
    local ipfrag = IpFrag.new()
    tcpstream = TcpStream.new()
    tcpstream:receiver(receiver)
    ipfrag:receiver(tcpstream)
    layer:receiver(ipfrag)
else
    layer:receiver(receiver)
end
input:receiver(layer)
local start = now()
assert(input:run() == 0)
local seconds = now() - start
local messages = tcpstream and tonumber(tcpstream:counters().messages) or 0
print(string.format("%s %d %.6f %d %d", mode, input:packets(), seconds, tonumber(sink.type_sum) / 40, messages))
