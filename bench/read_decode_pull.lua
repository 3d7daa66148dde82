-- Read+decode, pull use: a script loop pulls each decoded frame from the
-- layer decoder (which pulls from the PCAP reader) and reads the UDP
-- payload length through the chain, as a script that inspects packets does.
--   tarvex read_decode_pull.lua FILE     prints "pull <packets> <seconds>"
local Fpcap = require("tarvex.input.fpcap")
local Layer = require("tarvex.filter.layer")
require("tarvex.core.objects")
local ffi = require("ffi")
local C = ffi.C

local file = assert(arg[2], "FILE")
ffi.cdef [[
struct bench_timespec { long sec; long nsec; };
int clock_gettime(int clock, struct bench_timespec* ts);
]]

local function now()
    local ts = ffi.new("struct bench_timespec")
    C.clock_gettime(1, ts)
    return tonumber(ts.sec) + tonumber(ts.nsec) / 1e9
end

local payload_t = ffi.typeof("core_object_payload_t*")
local PAYLOAD = 40

local input, layer = Fpcap.new(), Layer.new()
input:fadvise_sequential()
assert(input:open(file) == 0, "cannot open " .. file)
layer:producer(input)
local produce, ctx = layer:produce()
local packets, bytes = 0, 0
local start = now()
while true do
    local obj = produce(ctx)
    if obj == nil then
        break
    end
    if obj.obj_type == PAYLOAD then
        bytes = bytes + tonumber(ffi.cast(payload_t, obj).len)
    end
    packets = packets + 1
end
local seconds = now() - start
assert(packets == input:packets(), "a frame was dropped")
print(string.format("pull %d %.6f %d", packets, seconds, bytes))
