-- The Timing class: mode setters, realtime defaults, and packets passed on in
-- push and pull use with a fixed spacing.
local ffi = require("ffi")
local Timing = require("tarvex.filter.timing")
require("tarvex.core.object.pcap_h")

pcall(ffi.cdef, [[
typedef struct { int64_t sec; int64_t nsec; } timing_test_ts;
int clock_gettime(int clock, timing_test_ts* ts);
]])
local now_ts = ffi.new("timing_test_ts")
local function now()
    ffi.C.clock_gettime(1, now_ts)
    return tonumber(now_ts.sec) + tonumber(now_ts.nsec) / 1e9
end

assert(ffi.string(Timing.log().name) == "filter.timing")
local t = Timing.new()
assert(ffi.string(t:log().name) == "filter.timing" and t:log().is_obj == 1)
assert(t.obj.mode == 0 and t.obj.mul == 0 and t.obj.rt_batch == 0)

t:increase(5) assert(t.obj.mode == 1 and t.obj.inc == 5)
t:reduce(6) assert(t.obj.mode == 2 and t.obj.red == 6)
t:multiply(1.5) assert(t.obj.mode == 3 and t.obj.mul == 1.5)
t:fixed(7) assert(t.obj.mode == 4 and t.obj.fixed == 7)
t:realtime() assert(t.obj.mode == 5 and t.obj.rt_batch == 128 and t.obj.rt_drift == 1000000000)
t:realtime(0.25, 10) assert(t.obj.rt_batch == 10 and t.obj.rt_drift == 250000000)
t:realtime(1.0000000019) assert(t.obj.rt_drift == 1000000001, "floor of the nanoseconds")
t:keep() assert(t.obj.mode == 0)
t.obj.mode = 9 -- an invalid mode is only fatal at the first packet

local packets = {}
for i = 1, 3 do
    local p = ffi.new("core_object_pcap_t")
    p.obj_type = 1
    p.ts.sec = 100 + i * 50 -- far apart: fixed mode ignores the gaps
    packets[i] = p
end

-- Push: input -> timing -> a receiver noting arrival times.
local arrivals = {}
local sink = {
    fn = ffi.cast("core_receiver_t", function(_, obj)
        assert(obj.obj_type == 1)
        arrivals[#arrivals + 1] = now()
    end),
}
function sink:receive() return self.fn, nil end

local push = Timing.new()
push:fixed(30000000)
push:receiver(sink)
assert(push._receiver == sink)
local recv, ctx = push:receive()
for i = 1, 3 do
    recv(ctx, ffi.cast("core_object_t*", packets[i]))
end
assert(#arrivals == 3)
for i = 2, 3 do
    assert(arrivals[i] - arrivals[i - 1] >= 0.029, "fixed spacing in push use")
end

-- Pull: timing pulls from a source; the end of input ends the pull.
local index = 0
local source = {
    fn = ffi.cast("core_producer_t", function()
        index = index + 1
        if packets[index] then
            return ffi.cast("core_object_t*", packets[index])
        end
        return nil
    end),
}
function source:produce() return self.fn, nil end

local pull = Timing.new()
pull:fixed(30000000)
pull:producer(source)
assert(pull._producer == source)
local produce, pctx = pull:produce()
local start, count = now(), 0
while true do
    local obj = produce(pctx)
    if obj == nil then
        break
    end
    count = count + 1
end
assert(count == 3)
assert(now() - start >= 0.059, "two fixed gaps in pull use")
print("timing cases pass")
